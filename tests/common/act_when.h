// Runs an action on a thread of its own once a condition holds (polled every
// 2 ms, for at most nWaitMs), as a signal watcher, a reader or a person
// unplugging the dongle would act while the code under test runs.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

class CActWhen {
public:
    CActWhen(std::function<bool()> fnReady, std::function<void()> fnAct, int nWaitMs = 10000)
        : m_thread([fnReady, fnAct, nWaitMs, this] {
              const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nWaitMs);
              while (!fnReady() && std::chrono::steady_clock::now() < deadline && !m_bQuit.load())
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              fnAct();
          })
    {
    }
    // Acts at once if the condition has not held by now.
    ~CActWhen()
    {
        m_bQuit.store(true);
        m_thread.join();
    }
    CActWhen(const CActWhen&) = delete;
    CActWhen& operator=(const CActWhen&) = delete;

private:
    std::atomic<bool> m_bQuit { false };
    std::thread m_thread;
};
