// Test helper for the cross-language schema test (tests/python): writes
// messages serialised by the C++ runtime, and checks messages serialised by
// another runtime from the same schema.
//
//   proto_roundtrip write <dir>   writes the *.bin / *.txt files listed below
//   proto_roundtrip check <dir>   parses py_*.bin / py_*.txt, exit 0 when all match

#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "proto_data.pb.h"
#include "proto_insert.h"
#include "sample_records.h"

namespace {

using google::protobuf::Message;
using google::protobuf::TextFormat;

bool writeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

bool readFile(const std::string& path, std::string* data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buf;
    buf << in.rdbuf();
    *data = buf.str();
    return true;
}

ProtoDataInfo sampleDataInfo() {
    ProtoDataInfo info;
    info.set_mstrfunctype("2WR");
    info.set_mstrrange("100K\xCE\xA9");
    info.set_ms32rate(2);
    info.set_mstrunit("\xCE\xA9");
    info.set_mf64datamax(9.9e37);
    info.set_mf64datamin(-1.5);
    for (double d : {-1.5, 0.0, 9.9e37}) info.add_mdatabuffer(d);
    return info;
}

int writeAll(const std::string& dir) {
    DataPack golden;
    golden.set_code(0x2000122E);
    insertS32(*golden.mutable_data(), 5, static_cast<unsigned int>(-1));

    DataPack badText;
    (*badText.mutable_data())[1].set_strval(std::string("\xff\xfe", 2));  // logged, written anyway

    std::string mirrorText;
    TextFormat::PrintToString(proto_samples::fullMirror(), &mirrorText);

    const bool ok = writeFile(dir + "/golden_pack.bin", golden.SerializeAsString()) &&
                    writeFile(dir + "/every_kind.bin", proto_samples::everyKindPack().SerializeAsString()) &&
                    writeFile(dir + "/mirror.bin", proto_samples::fullMirror().SerializeAsString()) &&
                    writeFile(dir + "/mirror.txt", mirrorText) &&
                    writeFile(dir + "/data_info.bin", sampleDataInfo().SerializeAsString()) &&
                    writeFile(dir + "/bad_utf8.bin", badText.SerializeAsString());
    if (!ok) std::cerr << "cannot write into " << dir << "\n";
    return ok ? 0 : 1;
}

// Parses one file (wire or text form) and compares it with the expected message.
bool checkFile(const std::string& path, bool text, const Message& expected) {
    std::string data;
    if (!readFile(path, &data)) {
        std::cerr << path << ": cannot read\n";
        return false;
    }
    std::unique_ptr<Message> got(expected.New());
    const bool parsed = text ? TextFormat::ParseFromString(data, got.get()) : got->ParseFromString(data);
    if (!parsed) {
        std::cerr << path << ": does not parse\n";
        return false;
    }
    std::string report;
    google::protobuf::util::MessageDifferencer diff;
    diff.ReportDifferencesToString(&report);
    if (!diff.Compare(expected, *got)) {
        std::cerr << path << ": differs from the expected message:\n" << report;
        return false;
    }
    return true;
}

int checkAll(const std::string& dir) {
    DataPack golden;
    golden.set_code(0x2000122E);
    insertS32(*golden.mutable_data(), 5, static_cast<unsigned int>(-1));

    bool ok = checkFile(dir + "/py_golden_pack.bin", false, golden);
    ok = checkFile(dir + "/py_every_kind.bin", false, proto_samples::everyKindPack()) && ok;
    ok = checkFile(dir + "/py_mirror.bin", false, proto_samples::fullMirror()) && ok;
    ok = checkFile(dir + "/py_mirror.txt", true, proto_samples::fullMirror()) && ok;
    ok = checkFile(dir + "/py_data_info.bin", false, sampleDataInfo()) && ok;
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 3 ? argv[1] : "";
    if (mode == "write") return writeAll(argv[2]);
    if (mode == "check") return checkAll(argv[2]);
    std::cerr << "usage: proto_roundtrip write|check <dir>\n";
    return 2;
}
