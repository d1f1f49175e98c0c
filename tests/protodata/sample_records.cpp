#include "sample_records.h"

#include "proto_insert.h"

namespace proto_samples {
namespace {

void fillSystemInfo(ProtoSystemInfo* sys) {
    sys->set_mlanguage(1);
    sys->set_mlastload(true);
    sys->set_mloadname("/data/UserData/state1.sta");
    sys->set_mpowerstatus(true);
    sys->set_mtouchenable(true);
    sys->set_mbeeper(true);
    sys->set_mbrightness(80);
    sys->set_misdisplaytime(true);
    ProtoUtilityIOInfo* io = sys->mutable_mprotoutilityioinfo();
    io->set_mlanlinkstatus(2);
    io->set_mstrmac("00:11:22:33:44:55");
    io->set_mstrvisa("TCPIP0::192.168.1.20::inst0::INSTR");
    io->set_mbdhcp(true);
    io->set_mbautoip(true);
    io->set_mbstaticip(true);
    io->set_mstrip("192.168.1.20");
    io->set_mstrgateway("192.168.1.1");
    io->set_mstrsubnetmask("255.255.255.0");
    io->set_mstrdns("192.168.1.2");
    io->set_mmdnson(true);
    io->set_mhostname("dmm-bench");
    io->set_minterface(1);
    io->set_mgpib(7);
    io->set_mbusbtmcswitch(true);
    io->set_mservicename("bench meter");
}

void fillBaseFuncInfo(ProtoBaseFuncInfo* base) {
    base->set_ms32dmmfunc(4);
    base->set_ms32dmmfunc2(-1);
    base->set_mbfunc2enable(true);
    base->set_mbautorange(true);
    base->set_mu32dcvimpe(1);
    base->set_mcontresi(10);
    for (int i = 1; i <= 2; ++i) {
        ProtoFuncConfig* cfg = base->add_mprotofunccfgs();
        cfg->set_mbmainconfig(true);
        cfg->set_ms32rangemax(4 + i);
        cfg->set_mbsupportauto(true);
        cfg->set_mbsupportrate(true);
        cfg->set_mbautorange(true);
        cfg->set_mbdcfilter(true);
        cfg->set_ms32range(-i);
        cfg->set_ms32autoz(i);
        cfg->set_ms32rate(2);
        cfg->set_ms32realfunc(i);
    }
}

void fillMathFuncInfo(ProtoMathFuncInfo* math) {
    math->set_ms32calctype(3);
    math->set_mbmathswitch(true);
    math->set_ms32mathfunc(7);
    math->set_mf64db(-12.5);
    math->set_mu32refr(600);
    math->set_mcurmathtotalize(2);
    math->mutable_mprotolimit()->set_mf64low(-0.25);
    math->mutable_mprotolimit()->set_mf64high(1e6);
    math->mutable_mprotodataformat()->set_msepchar(1);
    math->mutable_mprotodataformat()->set_mdotchar(-1);
    math->mutable_mprotodataformat()->set_mbplussign(true);
    for (int i = 1; i <= 2; ++i) {
        ProtoCalcConfig* calc = math->add_mprotocalccfgs();
        calc->set_mbrelenable(true);
        calc->set_mbautoenable(true);
        calc->set_mf64relvalue(0.001 * i);
    }
}

void fillTriggerInfo(ProtoTriggerFuncInfo* trig) {
    trig->set_ms32trigsrc(2);
    trig->set_mbhold(true);
    trig->set_mu32sensidx(3);
    trig->set_mf32sensitivity(0.5f);
    trig->set_mu32sample(100);
    trig->set_mu32extedge(1);
    trig->set_mu32interval(250);
    trig->set_mbvmc(true);
    trig->set_mu32vmcpolar(1);
    trig->set_mu32vmcpulsewidth(4);
}

void fillSensorInfo(ProtoSensorFuncInfo* sens) {
    ProtoProjProperty* proj = sens->mutable_mprotoprojproperty();
    proj->set_mstrname("PT100 bath");
    proj->set_ms32type(-2);
    proj->set_mbthermocouple(true);
    proj->set_mstrunit("°C");
    proj->set_mbcustomunitswitch(true);
    sens->set_mu32totalpoint(2);
    sens->set_mbtempture(true);
    ProtoTempProperty* temp = sens->mutable_mprototempproperty();
    temp->set_mstrtempsensorname("K-type");
    temp->set_mstrtempsensorunit("℃");
    temp->set_mu32tempsensortype(1);
    temp->set_mu32rtdaf(2);
    temp->set_mu32thermresvalue(3);
    temp->set_mf32rtdr0(100.0f);
    temp->set_mu32tctype(4);
    temp->set_mbtccodeterminalint(true);
    temp->set_mf32codeterminaluser(23.5f);
    temp->set_ms32type(-1);
    sens->set_mu32totalsegment(1);
    sens->add_mf64segparas(1.25);
    sens->add_mf64segparas(-3.5e-3);
    for (int i = 1; i <= 2; ++i) {
        ProtoRefPoint* point = sens->add_mprotorefpoints();
        point->set_mf64xvalue(0.1 * i);
        point->set_mf64yvalue(-20.0 * i);
        point->set_mu32mathsign(i);
        point->set_mbsegsign(true);
        ProtoSegProperty* seg = sens->add_mprotosegproperties();
        seg->set_mu32mathsign(i);
        seg->set_mu32beginpoi(i);
        seg->set_mu32endpoi(i + 1);
        seg->set_mu32littlesegnum(3);
        seg->set_mu32parapos(2 * i);
    }
    sens->set_mbdisplayvalue(true);
}

} // namespace

ProtoMirrorInfo fullMirror() {
    ProtoMirrorInfo mirror;
    fillSystemInfo(mirror.mutable_mprotosysinfo());
    ProtoFunctionInfo* func = mirror.mutable_mprotofunctioninfo();
    fillBaseFuncInfo(func->mutable_mprotobasefuncinfo());
    fillMathFuncInfo(func->mutable_mprotomathfuncinfo());
    fillTriggerInfo(func->mutable_mprototriggerinfo());
    fillSensorInfo(mirror.mutable_mprotosensorinfo());
    ProtoImageInfo* image = mirror.mutable_mprotoimageinfo();
    image->set_mbimagecolor(true);
    image->set_mbimageinvert(true);
    image->set_mbimageheader(true);
    image->set_mbfileoverwrite(true);
    image->set_mdefaultfilepath("USB:/shots");
    return mirror;
}

DataPack everyKindPack() {
    DataPack pack;
    pack.set_code(0x2000122E);
    pack.set_stat(-55);
    auto& data = *pack.mutable_data();
    insertS32(data, 1, static_cast<unsigned int>(-5));
    insertU32(data, 2, 4000000000u);
    data[3].set_s64val(-(1LL << 40));  // no insert function for s64Val
    insertU64(data, 4, (1ULL << 63) + 1);
    insertBval(data, 5, true);
    insertF32(data, 6, 1.5f);
    insertF64(data, 7, -2.25);
    insertStr(data, 8, "100KΩ");
    insertRaw(data, 9, std::string("a\0b\xff", 4));
    return pack;
}

std::vector<std::string> unsetFields(const google::protobuf::Message& msg) {
    std::vector<std::string> missing;
    const auto* desc = msg.GetDescriptor();
    const auto* refl = msg.GetReflection();
    for (int i = 0; i < desc->field_count(); ++i) {
        const auto* field = desc->field(i);
        const std::string name = field->name();
        if (field->is_repeated()) {
            const int n = refl->FieldSize(msg, field);
            if (n == 0) {
                missing.push_back(name);
            }
            if (field->type() == google::protobuf::FieldDescriptor::TYPE_MESSAGE) {
                for (int k = 0; k < n; ++k) {
                    for (const auto& sub : unsetFields(refl->GetRepeatedMessage(msg, field, k))) {
                        missing.push_back(name + "[" + std::to_string(k) + "]." + sub);
                    }
                }
            }
        } else if (!refl->HasField(msg, field)) {
            missing.push_back(name);
        } else if (field->type() == google::protobuf::FieldDescriptor::TYPE_MESSAGE) {
            for (const auto& sub : unsetFields(refl->GetMessage(msg, field))) {
                missing.push_back(name + "." + sub);
            }
        }
    }
    return missing;
}

} // namespace proto_samples
