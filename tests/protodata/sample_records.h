#pragma once
// Sample messages shared by the schema tests and the interop helper program.

#include <string>
#include <vector>

#include <google/protobuf/message.h>

#include "proto_data.pb.h"

namespace proto_samples {

// A settings mirror with every field of every record set to a non-default value
// and every list holding two entries.
ProtoMirrorInfo fullMirror();

// One DataPack that carries one Value of every kind, under keys 1 to 9.
DataPack everyKindPack();

// Paths ("a.b[0].c") of the fields of `msg` and its sub-records that hold their
// default value, or are empty lists: empty when the message is fully populated.
std::vector<std::string> unsetFields(const google::protobuf::Message& msg);

} // namespace proto_samples
