#include <dirent.h>
#include <unistd.h>
#include <linux/spi/spidev.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "drv/vorna_adc/VornaAdcRows.h"
#include "sim_calibration_set.h"
#include "sim_frontend.h"
#include "sim_frontend_scale.h"
#include "sim_service_inputs.h"
#include "temp_root.h"

namespace {

using platform::SimInputs;

// A front end of its own, driven at register level on a virtual clock.
class Chip {
public:
    Chip() { fe.setClock([this] { return nowUs; }); }

    void write(std::vector<uint8_t> bytes) { fe.write(bytes.data(), bytes.size()); }
    void row(const AdcRow& r, uint8_t relay) {
        for (const AdcRegPair& p : r) write({static_cast<uint8_t>(p.u8Addr << 1), p.u8Value});
        uint8_t byte = static_cast<uint8_t>(relay << 1);
        fe.relayHandler()->write(&byte, 1);
    }
    void countReset(uint8_t status) {
        write({0x40, static_cast<uint8_t>(status & 0xFD)});
        write({0x36, 0x00, 0x00, 0xC0});
        write({0x40, static_cast<uint8_t>(status | 0x02)});
    }
    std::vector<uint8_t> read(uint8_t start, size_t n) {
        std::vector<uint8_t> tx(n + 2, 0), rx(n + 2, 0), out(n);
        tx[0] = static_cast<uint8_t>(start << 1 | 1);
        spi_ioc_transfer xfer{};
        xfer.tx_buf = reinterpret_cast<uintptr_t>(tx.data());
        xfer.rx_buf = reinterpret_cast<uintptr_t>(rx.data());
        xfer.len = static_cast<uint32_t>(tx.size());
        platform::SimIoctl call{SPI_IOC_MESSAGE(1), reinterpret_cast<unsigned long>(&xfer), {}};
        EXPECT_EQ(fe.ioctl(call), static_cast<int>(tx.size()));
        for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(rx[i + 1] << 1 | rx[i + 2] >> 7);
        return out;
    }
    // A signed little-endian field of the frame.
    int64_t field(uint8_t addr, int bytes) {
        auto f = read(addr, static_cast<size_t>(bytes));
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(f[i]) << (8 * i);
        return static_cast<int64_t>(v << (64 - 8 * bytes)) >> (64 - 8 * bytes);
    }
    uint8_t status() { return read(0x1E, 1)[0]; }
    void inputs(std::function<void(SimInputs&)> change) {
        SimInputs in;
        change(in);
        fe.setInputs(in);
    }
    void advanceMs(double ms) { nowUs += std::llround(ms * 1000); }

    platform::SimFrontEnd fe;
    int64_t nowUs = 5000000;
};

TEST(SimFrontEnd, EveryConfigurationIsRecognisedAfterAnyOther) {
    const auto& configs = platform::simFrontEndConfigs();
    for (size_t i = 0; i < configs.size(); ++i) {
        EXPECT_NE(configs[i].quantity, platform::SimQuantity::None) << "configuration " << i << " has two meanings";
    }
    // Register files built from the configurations themselves: the previous
    // configuration's registers stay where the next does not write.
    for (size_t before = 0; before < configs.size(); ++before) {
        for (size_t now = 0; now < configs.size(); ++now) {
            uint8_t regs[128] = {};
            for (size_t c : {before, now}) {
                for (const auto& check : configs[c].checks) regs[check.addr] = check.value;
            }
            ASSERT_EQ(platform::simIdentifyConfig(regs, configs[now].relay), static_cast<int>(now))
                << "after " << before;
        }
    }
}

TEST(SimFrontEnd, DcAndAcResultsSaturateAndReadZeroWhereTheInputCannotGo) {
    struct Case {
        const char* name;
        const AdcRow* row;
        uint8_t relay;
        std::function<void(SimInputs&)> in;
        uint8_t addr;
        int bytes;
        int64_t value;
    } cases[] = {
        {"open 2-wire", &OHM2WR_Setting[1], 1, [](SimInputs& i) { i.open = true; }, 0x00, 3, 0x7FFFFE},
        {"2-wire leads", &OHM2WR_Setting[1], 1, [](SimInputs& i) { i.ohms = 100; i.leadOhms = 1; }, 0x00, 3, 408000},
        {"4-wire leads", &OHM4WR_Setting[1], 1, [](SimInputs& i) { i.ohms = 100; i.leadOhms = 1; }, 0x00, 3, 400000},
        {"DCV below range", &DCV_Setting[2], 3, [](SimInputs& i) { i.dcVolts = -300; }, 0x00, 3, -0x7FFFFF},
        {"open DCV", &DCV_Setting[2], 3, [](SimInputs& i) { i.dcVolts = 5; i.open = true; }, 0x00, 3, 0},
        {"open diode", &DIODE_Setting, 1, [](SimInputs& i) { i.open = true; }, 0x00, 3, 0x7FFFFE},
        {"ACV squared", &ACV_Setting[2], 2, [](SimInputs& i) { i.acVolts = 5; }, 0x09, 5, 400000000},
        {"negative ACV", &ACV_Setting[2], 2, [](SimInputs& i) { i.acVolts = -1; }, 0x09, 5, 0},
        {"half a row", nullptr, 3, [](SimInputs& i) { i.dcVolts = 5; }, 0x00, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Chip chip;
        chip.inputs(c.in);
        if (c.row) {
            chip.row(*c.row, c.relay);
        } else {
            chip.row(DCV_Setting[2], 3);
            chip.write({0x24 << 1, 0x00});  // no row has this value there
        }
        EXPECT_EQ(chip.field(c.addr, c.bytes), c.value);
        EXPECT_EQ(chip.status() != 0, c.row != nullptr);
    }
}

TEST(SimFrontEnd, CountersCloseAtTheFirstWholePeriodAfterTheMinimumGate) {
    Chip chip;
    chip.inputs([](SimInputs& i) { i.acVolts = 1; i.frequency = 440; });
    chip.row(ACV_Setting[2], 2);
    chip.countReset(0x52);
    chip.advanceMs(5);
    EXPECT_EQ(chip.status() & 0x01, 0);
    EXPECT_EQ(chip.field(0x18, 3), 2);  // running: whole periods so far
    chip.advanceMs(7);  // 5 periods of 440 Hz close the gate at 11.36 ms
    EXPECT_EQ(chip.status() & 0x01, 0x01);
    EXPECT_EQ(chip.field(0x18, 3), 5);
    EXPECT_EQ(chip.field(0x1B, 3), -4194304 + 102273);
    chip.advanceMs(500);
    EXPECT_EQ(chip.field(0x18, 3), 5);  // frozen until the next start

    for (auto quiet : std::vector<std::function<void(SimInputs&)>>{
             [](SimInputs& i) { i.acVolts = 1; i.frequency = 0.5; },
             [](SimInputs& i) { i.acVolts = 1; i.frequency = 50; i.open = true; },
             [](SimInputs& i) { i.frequency = 50; }}) {  // no amplitude, nothing to count
        chip.inputs(quiet);
        chip.countReset(0x52);
        chip.advanceMs(2000);
        EXPECT_EQ(chip.status() & 0x01, 0);
        EXPECT_EQ(chip.field(0x18, 3), 0);
    }
}

TEST(SimFrontEnd, CapacitanceCounterIsReadyAQuarterSecondAfterAWrite) {
    Chip chip;
    chip.inputs([](SimInputs& i) { i.farads = 0.5e-9; });
    chip.row(CAP_Setting[0], 1);
    chip.advanceMs(200);
    EXPECT_EQ(chip.status() & 0x01, 0);
    chip.advanceMs(50);
    EXPECT_EQ(chip.status() & 0x01, 0x01);
    EXPECT_EQ(chip.field(0x15, 3), 20000);  // 1 nF shares the 100 nF gain
    EXPECT_EQ(chip.field(0x18, 3), 1000);
    chip.countReset(0x72);
    EXPECT_EQ(chip.status() & 0x01, 0);
    chip.inputs([](SimInputs& i) { i.open = true; });
    chip.advanceMs(5000);
    EXPECT_EQ(chip.status() & 0x01, 0);
}

TEST(SimFrontEnd, ChargeRampShowsTwoPlateausAndDischargeResetsIt) {
    Chip chip;
    chip.inputs([](SimInputs& i) { i.farads = 0.5e-3; });
    chip.row(CAP_Setting[6], 1);
    const std::pair<double, int64_t> reads[] = {{100, 4000}, {249.9, 4000}, {250, 12000}, {400, 12000}};
    double at = 0;
    for (const auto& r : reads) {
        chip.advanceMs(r.first - at);
        at = r.first;
        EXPECT_EQ(chip.field(0x00, 3), r.second) << r.first << " ms";
    }
    chip.row(DISCHARGe_Setting, 1);
    EXPECT_EQ(chip.field(0x00, 3), 0);
    chip.inputs([](SimInputs& i) { i.farads = 0; });
    chip.row(CAP_Setting[7], 1);
    chip.advanceMs(400);
    EXPECT_EQ(chip.field(0x00, 3), 0x7FFFFE);  // nothing to charge: open
}

TEST(SimFrontEnd, NoiseIsRepeatableBySeed) {
    auto samples = [](uint64_t seed, double noise) {
        Chip chip;
        chip.inputs([&](SimInputs& i) { i.dcVolts = 1; i.noise = noise; i.seed = seed; });
        chip.row(DCV_Setting[2], 3);
        std::vector<int64_t> out;
        for (int i = 0; i < 5; ++i) out.push_back(chip.field(0x00, 3));
        return out;
    };
    EXPECT_EQ(samples(7, 1e-5), samples(7, 1e-5));
    EXPECT_NE(samples(7, 1e-5), samples(8, 1e-5));
    EXPECT_EQ(samples(7, 0), std::vector<int64_t>(5, 400000));
}

TEST(SimFrontEnd, InputTextSetsKnownNamesAndReportsTheOthers) {
    std::vector<std::string> unknown;
    SimInputs in = platform::simParseInputText(
        "# bench\n dc_volts = 1.5  # volts\nbogus = 3\nopen = true\nseed=7\nnoise = abc\nfarads 1\nohms=-2e3\n",
        [&](const std::string& name) { unknown.push_back(name); });
    EXPECT_EQ(in.dcVolts, 1.5);
    EXPECT_TRUE(in.open);
    EXPECT_EQ(in.seed, 7u);
    EXPECT_EQ(in.noise, 0.0);  // a bad value leaves the default
    EXPECT_EQ(in.farads, 0.0);
    EXPECT_EQ(in.ohms, -2000.0);
    EXPECT_EQ(in.coldJunctionCelsius, 23.5);
    EXPECT_EQ(unknown, std::vector<std::string>{"bogus"});
}

// A change of the input file is read once the file has kept it for the
// settle time: the empty file between a writer's truncation and its write is
// never read (its inputs would all be 0), a file left empty is.
TEST(SimInputFileWatch, AWriteInProgressIsNotRead) {
    using platform::SimFileStamp;
    const auto stamp = [](off_t size, long ns) {
        SimFileStamp s;
        s.inode = 7;
        s.size = size;
        s.mtime = {100, ns};
        return s;
    };
    const SimFileStamp before = stamp(20, 1), truncated = stamp(0, 2), written = stamp(24, 3);
    const struct { SimFileStamp found; uint64_t ms; bool read; } polls[] = {
        {before, 0, false},   {truncated, 100, false}, {written, 130, false}, {written, 170, false},
        {written, 230, true}, {written, 330, false},   {truncated, 400, false}, {truncated, 460, true},
    };
    platform::SimInputFileWatch watch(before);
    for (const auto& p : polls) EXPECT_EQ(watch.take(p.found, p.ms), p.read) << "poll at " << p.ms << " ms";
}

TEST(SimCalibrationSet, OneFileOfTwoRecordsPerKeyOfBothModels) {
    testing_support::TempRoot root;
    ASSERT_EQ(platform::simWriteCalibrationSet("/vorna/data"), 47);
    std::set<std::string> names;
    DIR* dir = opendir(root.host("/vorna/data").c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".cal") == 0) names.insert(name);
    }
    closedir(dir);
    EXPECT_EQ(names.size(), 47u);
    struct Spot {
        const char* file;
        uint32_t func, range;
        double raw, target;
    } spots[] = {
        {"cali_0_2.cal", 0, 2, 4e6, 10.0},   {"cali_0_0.cal", 0, 0, 4e6, 100.0},  {"cali_2_5.cal", 2, 5, 4e6, 10.0},
        {"cali_6_0.cal", 6, 0, 4e4, 1.0},    {"cali_6_6.cal", 6, 6, 2.5e6, 1.0},  {"cali_10_0.cal", 10, 0, 1e6, 1000},
        {"cali_7_0.cal", 7, 0, 4e6, 1000.0}, {"cali_4_5.cal", 4, 5, 4e6, 10.0},
    };
    for (const Spot& s : spots) {
        SCOPED_TRACE(s.file);
        std::string bytes = testing_support::readFile(root.host(std::string("/vorna/data/") + s.file));
        ASSERT_EQ(bytes.size(), 48u);
        uint32_t u32[2];
        double f64[2];
        std::memcpy(u32, bytes.data() + 24, 8);
        std::memcpy(f64, bytes.data() + 32, 16);
        EXPECT_EQ(u32[0], s.func);
        EXPECT_EQ(u32[1], s.range);
        EXPECT_DOUBLE_EQ(f64[0], s.raw);
        EXPECT_DOUBLE_EQ(f64[1], s.target);
        EXPECT_EQ(bytes.substr(8, 16), std::string(16, '\0'));  // the first record is 0 -> 0
    }
}

// What the tool and a service on the simulator make of a data folder: the
// marker says which front-end model the set was written for.
TEST(SimCalibrationSet, MarkerSaysWhetherTheSetIsOfAnOlderModel) {
    using platform::SimSetAge;
    const std::string current = std::to_string(platform::kSimFrontEndModel);
    const std::string older = std::to_string(platform::kSimFrontEndModel - 1);
    const struct Case {
        const char* name;
        bool set;
        const char* marker;  // nullptr: none
        SimSetAge age;
        int model;
    } cases[] = {
        {"no set", false, nullptr, SimSetAge::None, 1},
        {"set without marker", true, nullptr, SimSetAge::Older, 1},
        {"older marker", true, older.c_str(), SimSetAge::Older, platform::kSimFrontEndModel - 1},
        {"unreadable marker", true, "x", SimSetAge::Older, 1},
        {"current marker", true, current.c_str(), SimSetAge::Current, platform::kSimFrontEndModel},
        {"marker without set", false, current.c_str(), SimSetAge::None, platform::kSimFrontEndModel},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing_support::TempRoot root;
        if (c.set) ASSERT_EQ(platform::simWriteCalibrationSet("/vorna/data"), 47);
        const std::string marker = root.host(std::string("/vorna/data/") + platform::kSimModelMarker);
        ::unlink(marker.c_str());
        if (c.marker != nullptr) testing_support::writeFile(marker, c.marker);
        int model = 0;
        EXPECT_EQ(platform::simCalibrationSetAge("/vorna/data", &model), c.age);
        EXPECT_EQ(model, c.model);
        const std::string warning = platform::simCalibrationSetWarning("/vorna/data");
        EXPECT_EQ(warning.find("dmm-sim-calibration") != std::string::npos, c.age == SimSetAge::Older) << warning;
    }
}

TEST(SimCalibrationSet, WritingMarksTheSetWithTheCurrentModel) {
    testing_support::TempRoot root;
    testing_support::writeFile(root.host(std::string("/vorna/data/") + platform::kSimModelMarker), "1\n");
    ASSERT_EQ(platform::simWriteCalibrationSet("/vorna/data"), 47);
    EXPECT_EQ(testing_support::readFile(root.host(std::string("/vorna/data/") + platform::kSimModelMarker)),
              std::to_string(platform::kSimFrontEndModel) + "\n");
    EXPECT_EQ(platform::simCalibrationSetAge("/vorna/data"), platform::SimSetAge::Current);
}

}  // namespace
