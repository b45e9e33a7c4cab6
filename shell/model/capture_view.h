// What a face of the capture dialog implements: the model decides, the face
// shows. Plain C++ and UTF-8 text (file names as the system's bytes), so a Qt
// dialog and a native Win32 dialog can both be one.
#pragma once

#include "devices/device_source.h"   // CDeviceItem: one entry of the device box
#include "engine/survey_counts.h"     // CSurveyChannel: one bar of the scan

#include <cstdint>
#include <string>
#include <vector>

// How the dialog ends: Exit (accepted), Escape or the close box (cancelled),
// or a signal, which also closes any box shown above the dialog.
enum class ECaptureEnd : int32_t { Exit, Cancel, Signal };

// Where Start sends the capture: to Wireshark through the pipe, or into a
// pcap file. The values are what the "Mode" setting stores.
enum class ECaptureMode : int32_t { Wireshark = 0, PcapFile = 1 };

class ICaptureView {
public:
    virtual ~ICaptureView() = default;

    // The device box: items in this order, nSelected selected (-1: none).
    virtual void ShowDevices(const std::vector<CDeviceItem>& vecItems, int32_t nSelected) = 0;
    // The channel box's selection (index 0 is the first channel).
    virtual void ShowChannel(int32_t nIndex) = 0;
    virtual void ShowPath(const std::string& strPath) = 0;
    virtual void ShowRx(const std::string& strText) = 0;
    // Running: Start disabled, Stop enabled; and the other way round.
    virtual void SetRunning(bool bRunning) = 0;
    // The lines the log box holds now (the user may type there too); an
    // empty box counts one.
    virtual int32_t CountLogLines() const = 0;
    // The log box: one text added at the end, or the whole box replaced by it.
    virtual void AppendLog(const std::string& strText) = 0;
    virtual void ReplaceLog(const std::string& strText) = 0;
    // Asks for the Wireshark program; false when the user cancelled.
    virtual bool ChooseProgramFile(std::string& strPath) = 0;
    // Modal; returns when the user closed it.
    virtual void ShowAbout() = 0;
    virtual void EndDialog(ECaptureEnd eHow) = 0;

    // The mode's radio button checked, the path box's label set to the text.
    virtual void ShowMode(ECaptureMode /*eMode*/, const std::string& /*strPathLabel*/) {}
    // Asks for the file to save the capture in, with the chooser's own
    // question before an existing file is picked; false when cancelled.
    virtual bool ChooseSaveFile(std::string& /*strPath*/) { return false; }
    // strPath exists: true only when the user agrees to replace it. A face
    // that cannot ask never lets a file be replaced.
    virtual bool ConfirmOverwrite(const std::string& /*strPath*/) { return false; }

    // The scan: what each channel 11..26 gave so far, in order; nChannelNow
    // is the one being listened to (0: none); bRunning while it goes on. The
    // first call of a scan shows its window.
    virtual void ShowSurvey(const std::vector<CSurveyChannel>& /*vecChannels*/, int32_t /*nChannelNow*/,
        bool /*bRunning*/) {}
    // A retune runs: the channel box takes no pick until it is done.
    virtual void ShowRetuning(bool /*bRetuning*/) {}
};
