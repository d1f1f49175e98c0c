// Test helper for the cross-language schema test (tests/python): writes
// messages serialised by the C++ runtime, and checks messages serialised by
// another runtime from the same schema.
//
//   proto_roundtrip write <dir>   writes the *.bin / *.txt files listed below
//   proto_roundtrip check <dir>   parses py_*.bin / py_*.txt, exit 0 when all match

#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>

#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "proto_data.pb.h"
#include "proto_insert.h"
#include "sample_records.h"

namespace {

using google::protobuf::Message;
using google::protobuf::TextFormat;

struct Sample {
    std::string file;  // ".txt": text form
    std::shared_ptr<Message> message;
};

std::vector<Sample> samples() {
    auto golden = std::make_shared<DataPack>();
    golden->set_code(0x2000122E);
    insertS32(*golden->mutable_data(), 5, static_cast<unsigned int>(-1));
    auto info = std::make_shared<ProtoDataInfo>();
    info->set_mstrfunctype("2WR");
    info->set_mstrrange("100K\xCE\xA9");
    info->set_ms32rate(2);
    info->set_mstrunit("\xCE\xA9");
    info->set_mf64datamax(9.9e37);
    info->set_mf64datamin(-1.5);
    for (double d : {-1.5, 0.0, 9.9e37}) info->add_mdatabuffer(d);
    auto mirror = std::make_shared<ProtoMirrorInfo>(proto_samples::fullMirror());
    return {{"golden_pack.bin", golden},
            {"every_kind.bin", std::make_shared<DataPack>(proto_samples::everyKindPack())},
            {"mirror.bin", mirror},
            {"mirror.txt", mirror},
            {"data_info.bin", info}};
}

std::string text(const Message& message, bool textForm) {
    std::string out;
    textForm ? (void)TextFormat::PrintToString(message, &out) : (void)message.SerializeToString(&out);
    return out;
}

bool isText(const std::string& file) { return file.size() > 4 && file.substr(file.size() - 4) == ".txt"; }

int writeAll(const std::string& dir) {
    DataPack badText;
    (*badText.mutable_data())[1].set_strval(std::string("\xff\xfe", 2));  // logged, written anyway
    std::vector<Sample> all = samples();
    all.push_back({"bad_utf8.bin", std::make_shared<DataPack>(badText)});
    for (const Sample& s : all) {
        std::ofstream out(dir + "/" + s.file, std::ios::binary | std::ios::trunc);
        if (!(out << text(*s.message, isText(s.file)))) {
            std::cerr << "cannot write " << dir << "/" << s.file << "\n";
            return 1;
        }
    }
    return 0;
}

// Parses each py_ file (wire or text form) and compares it with the expected message.
int checkAll(const std::string& dir) {
    bool ok = true;
    for (const Sample& s : samples()) {
        const std::string path = dir + "/py_" + s.file;
        std::ifstream in(path, std::ios::binary);
        std::ostringstream data;
        data << in.rdbuf();
        std::unique_ptr<Message> got(s.message->New());
        const bool parsed = in && (isText(s.file) ? TextFormat::ParseFromString(data.str(), got.get())
                                                  : got->ParseFromString(data.str()));
        std::string report;
        google::protobuf::util::MessageDifferencer diff;
        diff.ReportDifferencesToString(&report);
        if (!parsed || !diff.Compare(*s.message, *got)) {
            std::cerr << path << (parsed ? ": differs from the expected message:\n" + report : ": does not parse\n");
            ok = false;
        }
    }
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
