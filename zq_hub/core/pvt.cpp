// NAV-PVT through the codec's catalogue.
#include "pvt.hpp"

#include "ubx/ubx.hpp"

namespace zq::hub {

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) noexcept {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

std::optional<int64_t> Pvt::utc_seconds() const noexcept {
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || min > 59 || second > 60)
        return std::nullopt;
    return days_from_civil(year, month, day) * 86400 + hour * 3600 + min * 60 + second;
}

std::optional<double> Pvt::utc() const noexcept {
    if (!validDate || !validTime) return std::nullopt;
    const auto s = utc_seconds();
    if (!s) return std::nullopt;
    return static_cast<double>(*s) + nano * 1e-9;
}

std::optional<Pvt> decode_pvt(std::span<const uint8_t> frame) noexcept {
    if (frame.size() < ubx::kOverhead || frame[2] != 0x01 || frame[3] != 0x07) return std::nullopt;
    const auto payload = frame.subspan(ubx::kHeaderSize, frame.size() - ubx::kOverhead);
    const ubx::MessageDef* def = ubx::find_form(0x01, 0x07, payload.size());
    if (def == nullptr) return std::nullopt;
    const ubx::Message m(0x01, 0x07, def, payload);
    const auto i = [&](std::string_view name) -> int64_t {
        const auto v = m.get(name);
        return v ? v->i : 0;
    };
    Pvt p;
    p.iTOW = static_cast<uint32_t>(i("iTOW"));
    p.year = static_cast<uint16_t>(i("year"));
    p.month = static_cast<uint8_t>(i("month"));
    p.day = static_cast<uint8_t>(i("day"));
    p.hour = static_cast<uint8_t>(i("hour"));
    p.min = static_cast<uint8_t>(i("min"));
    p.second = static_cast<uint8_t>(i("second"));
    p.validDate = i("validDate") != 0;
    p.validTime = i("validTime") != 0;
    p.fullyResolved = i("fullyResolved") != 0;
    p.validMag = i("validMag") != 0;
    p.tAcc = static_cast<uint32_t>(i("tAcc"));
    p.nano = static_cast<int32_t>(i("nano"));
    p.fixType = static_cast<uint8_t>(i("fixType"));
    p.gnssFixOk = i("gnssFixOk") != 0;
    p.difSoln = i("difSoln") != 0;
    p.psmState = static_cast<uint8_t>(i("psmState"));
    p.headVehValid = i("headVehValid") != 0;
    p.carrSoln = static_cast<uint8_t>(i("carrSoln"));
    p.confirmedAvai = i("confirmedAvai") != 0;
    p.confirmedDate = i("confirmedDate") != 0;
    p.confirmedTime = i("confirmedTime") != 0;
    p.numSV = static_cast<uint8_t>(i("numSV"));
    p.lon = static_cast<int32_t>(i("lon"));
    p.lat = static_cast<int32_t>(i("lat"));
    p.height = static_cast<int32_t>(i("height"));
    p.hMSL = static_cast<int32_t>(i("hMSL"));
    p.hAcc = static_cast<uint32_t>(i("hAcc"));
    p.vAcc = static_cast<uint32_t>(i("vAcc"));
    p.velN = static_cast<int32_t>(i("velN"));
    p.velE = static_cast<int32_t>(i("velE"));
    p.velD = static_cast<int32_t>(i("velD"));
    p.gSpeed = static_cast<int32_t>(i("gSpeed"));
    p.headMot = static_cast<int32_t>(i("headMot"));
    p.sAcc = static_cast<uint32_t>(i("sAcc"));
    p.headAcc = static_cast<uint32_t>(i("headAcc"));
    p.pDOP = static_cast<uint16_t>(i("pDOP"));
    if (const auto v = m.get("headVeh")) {
        p.long_form = true;
        p.headVeh = static_cast<int32_t>(v->i);
        p.magDec = static_cast<int16_t>(i("magDec"));
        p.magAcc = static_cast<uint16_t>(i("magAcc"));
        // flags3, the first byte after pDOP; reserved on the 84-byte form.
        if (const auto r = m.get("reserved1"); r && !r->bytes.empty()) {
            p.invalidLlh = (r->bytes[0] & 0x01) != 0;
            p.lastCorrectionAge = static_cast<uint8_t>((r->bytes[0] >> 1) & 0x0F);
        }
    }
    return p;
}

}  // namespace zq::hub
