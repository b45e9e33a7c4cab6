#include "shell/session_diag.h"

namespace {

std::string ErrorText(const COsError& err)
{
    if (err.m_nCode == 0)
        return err.m_strText.empty() ? std::string("unknown error") : err.m_strText;
    return err.m_strText + " (error " + std::to_string(err.m_nCode) + ")";
}

} // namespace

std::string DescribeOutputName(const std::string& strPath, EPcapFileOpen eHow)
{
    return eHow == EPcapFileOpen::Stdout ? std::string("standard output") : strPath;
}

std::string DescribeOutputOpenFailure(const std::string& strName, const COsError& err)
{
    if (err.m_eKind == EOsError::AlreadyExists)
        return strName + " exists already and is not overwritten";
    return "Cannot write the capture to " + strName + ": " + ErrorText(err);
}

std::string DescribeOutputWriteFailure(const std::string& strName, const COsError& err)
{
    if (err.m_eKind == EOsError::Gone)
        return "The reader of " + strName + " went away: the capture ends";
    return "Writing the capture to " + strName + " failed: " + ErrorText(err) + ": the capture ends";
}

std::string DescribeDeviceFailure(const std::string& strDevice, const COsError& err)
{
    switch (err.m_eKind) {
    case EOsError::None:
    case EOsError::NotFound:
        return "No device at " + strDevice;
    case EOsError::AccessDenied:
        return strDevice + ": permission denied; join the 'dialout' group "
            "(sudo usermod -aG dialout $USER) and log in again";
    case EOsError::Busy:
        return strDevice + " is in use by another program";
    default:
        return strDevice + ": " + ErrorText(err);
    }
}
