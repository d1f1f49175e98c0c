#pragma once
#include <map>
#include <mutex>

#include "Manager.h"

// The storage manager "storage_manager": file operations of the UI and of
// remote control. Created on first use through
// Copperwren::Singleton<StorageManage>; its construction restores the settings
// mirror through StorageCore. Bound fourth.
//
// Present so far: the mirror restore, the file-operation report and the
// connect-time push. The file handlers come with the storage work.
class StorageManage : public Manager {
public:
    StorageManage();

    void getCallbacks(std::map<unsigned int, cb_func>& entries) override;
    // A UI notification client connected: the image settings go to the UI.
    void onClientConnect() override;

    // ON_FILE_OPERATION_STATUS_CHANGED with one ProtoFileOperationInfo.
    void FileOperationStatusSyncToUI(int type, int status, int result);

private:
    // Reports are built and pushed one at a time, in the order of the jobs.
    std::mutex m_mutex;
};
