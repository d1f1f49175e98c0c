#include "StorageManage.h"

#include <cstdio>

#include "CFEM.h"
#include "Singelton.h"
#include "StorageCore.h"

StorageManage::StorageManage() : Manager("storage_manager") {
    Copperwren::Singleton<StorageCore>::Instance()->Init();
}

void StorageManage::getCallbacks(std::map<unsigned int, cb_func>& /*entries*/) {
    // The file handlers (group 0x0F and the stored-state commands) are not
    // bound yet.
}

void StorageManage::onClientConnect() {
    std::printf("StorageManage onClientConnect\n");
    Copperwren::Singleton<StorageCore>::Instance()->ImageInfoSyncToUI();
}

void StorageManage::FileOperationStatusSyncToUI(int type, int status, int result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ProtoFileOperationInfo info;
    info.set_ms32optype(type);
    info.set_ms32opstatus(status);
    info.set_ms32opresult(result);
    google::protobuf::Map<int, Value> map;
    insertRaw(map, ON_FILE_OPERATION_STATUS_CHANGED, info.SerializeAsString());
    CFEM::pushMessage(ON_FILE_OPERATION_STATUS_CHANGED, std::move(map));
}
