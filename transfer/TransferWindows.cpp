#include "transfer/TransferWindows.h"

#include "transfer/FileRequestDialog.h"
#include "transfer/FileWindows.h"

namespace {
class CFileWindows : public IFileWindowFactory
{
public:
    void OpenFileRequest(std::unique_ptr<CFileListenSocket> connection) override
    {
        CFileListenSocket* request = connection.get();
        auto* window = new CFileRequestDialog(std::move(connection));
        window->m_strPeer = request->GetPeer();
        window->m_strHeader = "Received File Transmission Request From " + request->GetPeer();
        window->m_strFileName = DescribeBatch(request->GetNames());
        window->m_names = request->GetNames();
        window->m_strFileSize = FormatSize(request->GetTotal());
        window->m_strDescription = request->GetDescription();
        request->SetRequestWindow(window);
        window->Create();
    }
};
} // namespace

void RegisterFileWindows()
{
    static CFileWindows windows;
    SetFileWindowFactory(&windows);
}
