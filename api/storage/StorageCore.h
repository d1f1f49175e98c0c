#pragma once
#include <mutex>
#include <string>

#include "MirrorSaver.h"
#include "proto_data.pb.h"

// The instrument's persistent settings: the settings mirror
// "/vorna/data/mirrorconfig.xmir", the protobuf text form of one
// ProtoMirrorInfo gathered from every owner (system settings, function
// settings, math, trigger, sensor, image settings). Created on first use
// through Copperwren::Singleton<StorageCore>.
//
// Present so far: defaults, restoring the mirror at start-up, saving it when
// it changed, applying a mirror and the image settings. The user file formats
// (setup, preferences, sensor, data, CSV) come with the storage work.
class StorageCore {
public:
    static constexpr const char* kMirrorPath = "/vorna/data/mirrorconfig.xmir";

    StorageCore();

    // Defaults, then the mirror from the file. 0.
    int Init();
    // Every owner's default record into `out` (the owners return to their
    // defaults as they build them). 0.
    int ConfigDefault(ProtoMirrorInfo& out);
    // Restores the mirror file (see the .cpp for the power-on choice); 0, or
    // 44 when it could not be read or parsed and the defaults were applied.
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

    // ON_STORAGE_IMAGE_INFO_CHANGED with the image settings as raw bytes.
    void ImageInfoSyncToUI();
    // ON_STORAGE_DATA_INFO_CHANGED with `info` as raw bytes.
    void DateInfoSyncToUI(ProtoDataInfo& info);

private:
    static void imageDefaults(ProtoImageInfo& info);

    bool writeMirror(const std::string& text);

    // Guards the current mirror between the save timer and start-up or reset.
    std::mutex m_mutex;
    ProtoMirrorInfo m_mirrorInfoCur;
    // Serialises the mirror file's writes with its reading at start-up.
    std::mutex m_fileMtx;
    // The image settings are set by storage handlers on other threads.
    std::mutex m_imageMtx;
    ProtoImageInfo m_protoImageInfo;
    // Last: it waits in its destructor for a write that uses the members above.
    MirrorSaver m_saver{[this](const std::string& text) { return writeMirror(text); }};
};
