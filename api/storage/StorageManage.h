#pragma once
#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "FileCore.h"
#include "Manager.h"
#include "StorageRemotePath.h"

// The storage manager "storage_manager": file operations of the UI (group
// 0x0F) and the mass-memory commands of remote control (group 0x24 and the
// catalogue and current folder). Created on first use through
// Copperwren::Singleton<StorageManage>; its construction restores the settings
// mirror through StorageCore. Bound fourth.
//
// Long operations (copy, move, rename, delete, save, load) run as jobs on
// CThreadPool: each sends one start report and exactly one end report
// (ON_FILE_OPERATION_STATUS_CHANGED), from the handler when it refuses the
// request and from the job otherwise. A cancel stops the running jobs of its
// type between chunks and entries. Remote control's operations run in their
// command's place instead; the ABORt or device clear of their own client
// stops them the same way, and ends one still waiting for its walk turn.
class StorageManage : public Manager {
public:
    using ValueMap = google::protobuf::Map<int, Value>;
    using Work = std::function<int(const FileCore::CancelCheck& cancelled)>;

    StorageManage();

    void getCallbacks(std::map<unsigned int, cb_func>& entries) override;
    // A UI notification client connected: the image settings go to the UI.
    void onClientConnect() override;

    // ON_FILE_OPERATION_STATUS_CHANGED with one ProtoFileOperationInfo.
    void FileOperationStatusSyncToUI(int type, int status, int result);
    // Stops the running jobs of `type` (copy, move, delete): 0 and an end
    // report with 0 when one was running, else 44 and an end report with 44.
    // Save, load and other types only report (type, end, 0).
    int FileOperationCancel(int type);

    // The path of a request in file-system form: for the UI a "/" in front of
    // a relative path; from remote control the quotes removed where present
    // and the remote form converted; then confined to the storage roots, with
    // the service's temporaries that `temporaries` lets through. False when
    // refused.
    bool requestPath(unsigned int source, std::string& path,
                     StorageRemotePath::Temporaries temporaries = StorageRemotePath::Temporaries::Refused);
    // The remote path under `key`: remote sources only, the key present, the
    // text in double quotes, converted and confined.
    // A command of remote control with its argument under `key`.
    static bool remoteArgument(unsigned int source, const ValueMap& in, int key);
    bool extractDirectoryByKey(std::string& out, int key, unsigned int source, const ValueMap& in);
    bool directoryFormat(std::string& s,
                         StorageRemotePath::Temporaries temporaries = StorageRemotePath::Temporaries::Refused);
    // What a path argument must name: anything inside the roots, anything
    // but a root itself, a file (no root, no folder), or, for a delete,
    // anything but a root, a leftover temporary too.
    enum class PathKind { Any, NotRoot, File, Deleted };
    // The path under `key` through requestPath: 8 when missing, 44 when
    // refused, empty or not of `kind`.
    int pathArgument(unsigned int source, const ValueMap& in, int key, std::string& path,
                     PathKind kind = PathKind::Any);
    // A file name of the user's: refused when it names a root or a folder;
    // `extension` (when given) completes it, and the completed name, the one
    // opened, must still lie inside a root and name no folder.
    bool userFile(std::string& path, const char* extension);

private:
    using Handler = int (StorageManage::*)(unsigned int, const ValueMap&, ValueMap*);
    struct Row {
        unsigned int id;
        Handler handler;
    };
    static const Row kRows[];

    // Per operation type: jobs posted and not yet ended, and the cancel count
    // that each job compares with the one it started under.
    struct Token {
        std::atomic<int> running{0};
        std::atomic<unsigned> generation{0};
    };

    // The start report, then `prepare` fills the job or refuses (its result
    // goes into the end report and back to the caller). A remote request's
    // job runs in place: a session's commands take effect in the order sent,
    // and a failure reaches its error queue.
    int runOperation(int type, unsigned int source, const std::function<int(Work& work)>& prepare);
    void postJob(int type, Work work);
    Token* tokenOf(int type);

    // Whether remote control's list that runs here was stopped (its client's
    // ABORt or device clear): its file operations end with it.
    static bool listStopped();
    // Refuses (128) a copy or move that the target's medium cannot hold.
    // `cancelled` ends the wait for the walk that sizes a folder.
    int spaceCheck(const std::string& source, const std::string& target, const FileCore::CancelCheck& cancelled);
    // Source and target of a copy or move, converted and tested.
    int transferPaths(unsigned int source, const ValueMap& in, std::string& from, std::string& to, bool move);
    int transfer(unsigned int source, const ValueMap& in, int type);
    // A setup, preference, data, CSV or sensor file saved or loaded by type.
    int configDataFile(unsigned int source, const ValueMap& in, int presentKey, bool save);

    // Group 0x0F, UI and remote.
    int cbCreateFolder(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFileDelete(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbEmptyDirectoryDelete(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFileList(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFileSize(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFileCopy(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFileListCopy(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFileMove(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFileRename(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFileSave(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFileLoad(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbConfigDataFileSave(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbConfigDataFileLoad(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbConfigDataFileDelete(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbDefaultConfigLoad(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbLastConfigLoad(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbStorageImageColorSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbStorageImageInvertSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbStorageImageHeaderSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbStorageFileOverwriteSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFileOperationCancel(unsigned int source, const ValueMap& in, ValueMap* out);

    // Remote control: stored states, preferences, data, folders, catalogue.
    int cbSystemConfigLoad(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbStateConfigLoad(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbSystemConfigSave(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbStateConfigSave(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbDataRDGStore(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbStateRecallSelectSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbStateRecallSelectGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbStateValid(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFormatReadingRLimitSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbFormatReadingRLimitGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbStorageDefaultFilePathSet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbStorageDefaultFilePathGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbStorageConfigFileListGet(unsigned int source, const ValueMap& in, ValueMap* out);
    int cbStorageFileListGet(unsigned int source, const ValueMap& in, ValueMap* out);

    // A stored state or preference file: `key`'s path with `extension`,
    // handed to `op`; 44 when refused or when `op` fails.
    int storedFile(unsigned int source, const ValueMap& in, int key, const char* extension,
                   int (*op)(const std::string& path));

    // The reading-limit format flag of remote control; only stored.
    std::atomic<bool> m_rLimit{false};
    // Reports are built and pushed one at a time, in the order of the jobs.
    std::mutex m_mutex;
    // Copy, move, save, load, delete.
    std::array<Token, 5> m_tokens;
};
