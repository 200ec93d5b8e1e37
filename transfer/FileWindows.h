#pragma once

#include "framework/CString.h"

#include <cstdint>
#include <memory>

class CFileListenSocket;

// What the file connections tell the windows that serve them. Protocol code knows the windows
// only through these.

// The sending window, while the request waits for the receiver's decision.
class ISendFileWindow
{
public:
    virtual ~ISendFileWindow() = default;

    // The receiver accepted: the window hands the connection to a progress window, points the
    // connection at it and closes.
    virtual void OnTransferAccepted() = 0;
    // Each of these destroys the connection.
    virtual void OnDeclineReason(const CString& reason) = 0;
    virtual void OnDeclinedWithoutReason() = 0;
    // A file of the selection could not be measured; the request cannot go on.
    virtual void OnFileError(const CString& message) = 0;
};

// The receiving window while the user decides.
class IFileRequestWindow
{
public:
    virtual ~IFileRequestWindow() = default;

    // The sender closed (or the connection broke) before the decision. Destroys the connection.
    virtual void OnRequestCancelled() = 0;
};

// The progress window of either end, from the data phase on.
class IFileProgressWindow
{
public:
    virtual ~IFileProgressWindow() = default;

    virtual void ShowFile(const CString& name, std::uint32_t size) = 0;
    virtual void SetBatchTotal(std::uint32_t total) = 0;
    virtual void ShowProgress(std::uint32_t fileBytes, std::uint32_t batchBytes) = 0;
    // Each of these ends the transfer and destroys the connection.
    virtual void OnFinished() = 0;
    virtual void OnTerminated() = 0;
    // A file could not be read or written: the connection is destroyed first, then the user is
    // told.
    virtual void OnTransferFailed(const CString& message) = 0;
};

// Opens the receiving window of a complete request. The windows library registers one at
// start-up; tests register fakes.
class IFileWindowFactory
{
public:
    virtual ~IFileWindowFactory() = default;

    // Takes ownership of the connection; the window points the connection at itself.
    virtual void OpenFileRequest(std::unique_ptr<CFileListenSocket> connection) = 0;
};

IFileWindowFactory* GetFileWindowFactory();
void SetFileWindowFactory(IFileWindowFactory* factory);
