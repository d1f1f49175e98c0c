#pragma once
#include "proto_data.pb.h"

// The storage's checks of records read from files (the settings mirror,
// setup and preference files), made before any part is applied: such a file
// is user data, saved over the UI link or brought on a stick. Values go
// through their owners' checks (the rules of their setters); paths are the
// storage's own to confine.
namespace storage_records {

// Paths read from a record are held to the storage roots as a command's
// path is ("." and ".." resolved, then inside a root by its text; links are
// checked where the path is used). A refused one is logged and taken as
// unset: no recall file, the internal memory as the current folder.
void confinePaths(ProtoMirrorInfo& record);
void confineLoadName(ProtoSystemInfo& info);

// 0, or the first refusal (a row of the error table, logged) among the
// parts a setup file applies.
int checkState(const ProtoMirrorInfo& state);

// Each part of `mirror` that its owner refuses is replaced by `fallback`'s.
void keepRefusedParts(ProtoMirrorInfo& mirror, const ProtoMirrorInfo& fallback);

}  // namespace storage_records
