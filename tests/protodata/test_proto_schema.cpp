// The schema as stored settings files and the UI app know it. Files are read by
// field name and the link by field number and type, so every message's fields
// are summed up in one fingerprint: a renamed, renumbered or retyped field
// changes it. A deliberate schema change updates the fingerprint here.

#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>

#include <map>
#include <string>

#include "proto_data.pb.h"

namespace {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;

// "Name{field=number [repeated ]type,...}" of a message and its nested ones.
void describe(const Descriptor* desc, std::map<std::string, std::string>& out) {
    std::string text;
    for (int i = 0; i < desc->field_count(); ++i) {
        const FieldDescriptor* f = desc->field(i);
        text += f->name() + "=" + std::to_string(f->number()) + (f->is_repeated() ? " repeated " : " ") +
                (f->type() == FieldDescriptor::TYPE_MESSAGE ? f->message_type()->full_name() : f->type_name()) +
                (f->containing_oneof() ? " oneof," : ",");
    }
    out[desc->full_name()] = text;
    for (int i = 0; i < desc->nested_type_count(); ++i) {
        describe(desc->nested_type(i), out);
    }
}

TEST(ProtoSchema, FieldsKeepTheirNamesNumbersAndTypes) {
    const auto* file = Value::descriptor()->file();
    EXPECT_EQ(file->syntax(), google::protobuf::FileDescriptor::SYNTAX_PROTO3);
    EXPECT_EQ(file->package(), "");  // type names are global for the app's runtime
    std::map<std::string, std::string> messages;
    for (int i = 0; i < file->message_type_count(); ++i) {
        describe(file->message_type(i), messages);
    }
    uint64_t hash = 14695981039346656037ULL;  // FNV-1a over the sorted descriptions
    for (const auto& [name, fields] : messages) {
        for (unsigned char c : name + "{" + fields + "}") {
            hash = (hash ^ c) * 1099511628211ULL;
        }
    }
    EXPECT_EQ(hash, 0xe2732a85099da81eULL) << "the schema changed; saved settings files and the UI app depend on it:\n"
                            << ::testing::PrintToString(messages);
}

} // namespace
