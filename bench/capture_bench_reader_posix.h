// qm-capture-bench: the stand-in for Wireshark. The pipe link launches the
// benchmark itself as "<bench> -i <fifo> -k"; in that mode it reads the FIFO
// as fast as it can, checks every pcap record against the frames the feeder
// sends and notes when each arrived. It writes its process id to <out>.pid at
// once and its findings to <out>.bin when the stream ends, <out> being taken
// from the environment (the launch hands our environment on).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "bench/capture_bench_frames.h"

// True when argv asks for the reader ("-i <fifo>").
bool IsBenchReaderCall(int argc, char** argv);
int RunBenchReader(int argc, char** argv);

// Benchmark side: where the next reader launched reports.
bool SetBenchReaderOutput(const std::string& strOut);
// The reader's process id once it has started; -1 when none within nTimeoutMs.
pid_t WaitBenchReaderPid(const std::string& strOut, int32_t nTimeoutMs);
// The reader's findings once its stream has ended; false when none within nTimeoutMs.
bool LoadBenchReaderResult(const std::string& strOut, int32_t nTimeoutMs, CReaderResult* pResult);
