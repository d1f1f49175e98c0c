#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "MirrorSaver.h"
#include "inc_enum.h"
#include "proto_data.pb.h"

// The instrument's persistent settings and the user files. The settings
// mirror "/vorna/data/mirrorconfig.xmir" is the protobuf text form of one
// ProtoMirrorInfo gathered from every owner (system settings, function
// settings, math, trigger, sensor, image settings); the user files are setup
// (.sta), preferences (.prf), sensor (.xsen), data (.dat) and CSV (.csv).
// Created on first use through Copperwren::Singleton<StorageCore>.
// Results are 0 or a row of the SCPI error table (23 suffix, 44 execution).
class StorageCore {
public:
    static constexpr const char* kMirrorPath = "/vorna/data/mirrorconfig.xmir";

    StorageCore();

    // Defaults, then the mirror from the file. 0.
    int Init();
    // Every owner's default record into `out` (the owners return to their
    // defaults as they build them); the image settings return to theirs. 0.
    int ConfigDefault(ProtoMirrorInfo& out);
    // Restores the mirror file; 0, or 44 when it (or the power-on recall
    // file) could not be read or parsed and a fallback was applied.
    int Load();
    // Gathers the current records and, when they differ from what was last
    // saved, hands them to a worker that writes the mirror file. Returns 0 at
    // once, without rendering or writing anything itself.
    int Save();
    // Waits until what Save handed over is written.
    void WaitSaved();
    // Hands each part of `mirror` to its owner; absent parts apply as empty.
    void ConfigEffect(const ProtoMirrorInfo& mirror);
    // Builds the defaults and applies them. 0.
    int DefaultConfigLoad();

    // User files: 0, 23 for a wrong extension, 44 when it cannot be written.
    int StateConfigSave(const std::string& path);
    int SystemConfigSave(const std::string& path);
    int SensorConfigSave(const std::string& path);
    int MeasDataSave(const std::string& path);
    int CsvDataSave(const std::string& path);
    // User files read and applied: 0, 23 for a wrong extension, otherwise
    // -10 (setup files) or 44 when unreadable or unparsable.
    int StateConfigLoad(const std::string& path);
    int SystemConfigLoad(const std::string& path);
    int SensorConfigLoad(const std::string& path);
    int MeasDataLoad(const std::string& path);
    int CsvDataLoad(const std::string& path);

    // The CSV text of a data record (the header alone for an empty buffer).
    static std::string CsvText(const ProtoDataInfo& info);
    // Reads a CSV data file into `out`: 0, or -1 when it cannot be opened
    // or a line does not hold what it must.
    int FormatProtoDataInfoFromCSVFile(ProtoDataInfo& out, const std::string& path);
    // The text after the last "." of `path` (all of it without one).
    static std::string extensionOf(const std::string& path);
    // The extension must be the type's own, in lower case; logs a mismatch.
    static bool extensionIs(const std::string& path, StorageFileType type);
    // Appends the pieces of `s` between `delim`s (empty ones kept, none after
    // a trailing delimiter).
    static void stringSplit(const std::string& s, char delim, std::vector<std::string>& out);

    void StorageImageColorSet(bool on);
    void StorageImageInvertSet(bool on);
    void StorageImageHeaderSet(bool on);
    void StorageFileOverwriteSet(bool on);
    void DefaultFilePathSet(const std::string& path);
    std::string DefaultFilePathGet();

    // ON_STORAGE_IMAGE_INFO_CHANGED with the image settings as raw bytes.
    void ImageInfoSyncToUI();
    // ON_STORAGE_DATA_INFO_CHANGED with `info` as raw bytes.
    void DateInfoSyncToUI(ProtoDataInfo& info);
    // ON_CONFIG_RESET, then ON_LXI_RESET carrying both keys.
    void ConfigResetSyncToUI();

    // Directories and the files of `type` in `dir`: 0, or 44 when it cannot
    // be listed.
    int StorageConfigFileListGet(const std::string& dir, int type, FileInfos& out);

private:
    static void imageDefaults(ProtoImageInfo& info);
    // The function and sensor parts (what a setup file holds); all parts.
    static void gatherState(ProtoMirrorInfo& out);
    void gather(ProtoMirrorInfo& out);
    bool writeMirror(const std::string& text);
    template <typename Edit>
    void editImage(Edit edit);

    // Guards the current mirror between the save timer and start-up or reset.
    std::mutex m_mutex;
    ProtoMirrorInfo m_mirrorInfoCur;
    // Serialises the mirror file's writes with its reading at start-up.
    std::mutex m_fileMtx;
    // The image settings are set by storage handlers on other threads.
    std::mutex m_imageMtx;
    ProtoImageInfo m_protoImageInfo;
    // A run of failed mirror writes is logged once.
    std::atomic<bool> m_mirrorFailing{false};
    // Last: it waits in its destructor for a write that uses the members above.
    MirrorSaver m_saver{[this](const std::string& text) { return writeMirror(text); }};
};
