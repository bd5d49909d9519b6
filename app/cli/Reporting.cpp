#include "app/cli/Reporting.h"

#include <algorithm>
#include <cstdio>

namespace vendrill::cli {

namespace {

// While no printer is there, the station says so this often.
constexpr auto kStatusEvery = std::chrono::seconds(10);

std::string TimeOfDay()
{
    return record::NowText().substr(0, 19) + "Z";
}

bool Named(record::Result r)
{
    return r == record::Result::Named || r == record::Result::AlreadyNamed || r == record::Result::RenamedBack;
}

}  // namespace

CStationReport::CStationReport(bool json, const ResultSink& out, std::string station, std::string link,
                               bool radioCheck)
    : m_json(json)
    , m_out(out)
    , m_station(std::move(station))
    , m_link(std::move(link))
    , m_radioCheck(radioCheck)
{
}

CJsonObject CStationReport::EventHead(const char* event) const
{
    CJsonObject json;
    json.Text("event", event).Text("time", TimeOfDay()).Text("station", m_station);
    return json;
}

// A rate taken over less than a minute says more about the first printer's
// timing than about the line (one printer after a second is not 3600/h):
// "" until a minute has passed.
std::string CStationReport::PerHour() const
{
    const double seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    if (seconds < 60.0)
        return {};
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f", static_cast<double>(m_done) * 3600.0 / seconds);
    return rate;
}

bool CStationReport::Start(const std::string& where, const std::string& prefix, std::int64_t nextNumber,
                           const std::string& nextName)
{
    Say("station " + m_station + " on " + m_link + ", record in " + where + ", next name " + nextName +
        (m_radioCheck ? ", each printer checked over the air before its label" : ""));
    CJsonObject json = EventHead("start");
    json.Text("link", m_link).Text("record", where).Text("prefix", prefix);
    json.Number("next_number", nextNumber).Text("next_name", nextName).Bool("radio_check", m_radioCheck);
    if (!Event(json)) {
        Say("write error");
        return false;
    }
    return true;
}

CStationReport::Clock::time_point CStationReport::NextWaitingLine() const
{
    return m_lastStatus + kStatusEvery;
}

void CStationReport::Waiting()
{
    if (Clock::now() < NextWaitingLine())
        return;
    m_lastStatus = Clock::now();
    Say("waiting for a printer on " + m_link + " (" + std::to_string(m_done) + " so far)");
    CJsonObject json = EventHead("waiting");
    json.Text("link", m_link).Number("count", m_done);
    Event(json);
}

void CStationReport::Silent(const std::string& node, long long seconds)
{
    Say("the printer on " + node + " does not answer (no address for " + std::to_string(seconds) +
        " s): check that it is switched on and ready, and that its Bluetooth module is fitted and "
        "connected; still asking (Ctrl-C ends the station)");
    CJsonObject json = EventHead("silent");
    json.Text("node", node).Number("seconds", seconds);
    Event(json);
}

bool CStationReport::Printer(const PrinterResult& r)
{
    ++m_done;
    ++m_results[r.visit.result];
    // A printer the air did not confirm is named, but not done.
    m_allNamed = m_allNamed && Named(r.visit.result) && !record::RadioFailed(r.visit);
    if (!r.visit.radio.empty())
        ++(record::RadioFailed(r.visit) ? m_radioFailed : m_radioOk);
    if (!r.say.empty())
        Say(r.say);
    const std::string rate = PerHour();
    const record::Visit& v = r.visit;
    const char* result = record::ResultName(v.result);
    std::string line;
    if (m_json) {
        CJsonObject o = EventHead("printer");
        o.Text("address", v.address).Text("name", v.name);
        o.Number("number", v.number >= 0 ? std::optional<std::int64_t>(v.number) : std::nullopt);
        o.Text("result", result);
        // The name's state as the record holds it now; "" without a name.
        const std::optional<record::State> state = r.state ? r.state : r.had;
        o.Text("state", state ? record::StateName(*state) : "");
        o.Text("reason", v.reason);
        // Not checked over the air: both null.
        v.radio.empty() ? o.Null("radio") : o.Text("radio", v.radio);
        v.nameHeard.empty() ? o.Null("name_heard") : o.Text("name_heard", v.nameHeard);
        o.Number("count", m_done).Raw("per_hour", rate.empty() ? "null" : rate);
        line = o.Str() + "\n";
    } else {
        line = TimeOfDay() + "  " + PlainText(v.address.empty() ? "-" : v.address) + "  " +
               PlainText(v.name.empty() ? "-" : v.name) + "  " + result +
               (v.radio.empty() ? "" : "  radio " + v.radio) + "  " + std::to_string(m_done) + "  " +
               (rate.empty() ? "-" : rate) + "/h";
        if (!v.reason.empty())
            line += "  " + PlainText(v.reason);
        line += "\n";
    }
    if (!m_out(line)) {
        Say("write error");
        return false;
    }
    return true;
}

void CStationReport::Bluetooth(bool gone, const std::string& reason)
{
    CJsonObject json = EventHead("bluetooth");
    json.Text("state", gone ? "gone" : "back").Text("reason", reason);
    Event(json);
}

void CStationReport::Summary()
{
    const double seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    const std::string rate = PerHour();
    char time[32];
    const long long s = static_cast<long long>(seconds);
    std::snprintf(time, sizeof time, "%02lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    std::string counts;
    CJsonObject json = EventHead("summary");
    json.Number("count", m_done);
    for (const auto result : {record::Result::Named, record::Result::AlreadyNamed, record::Result::RenamedBack,
                              record::Result::Sent, record::Result::Failed}) {
        const std::int64_t n = m_results[result];
        json.Number(record::ResultName(result), n);
        if (n > 0)
            counts += std::string(counts.empty() ? "" : ", ") + record::ResultName(result) + " " + std::to_string(n);
    }
    if (m_radioCheck) {
        json.Number("radio_ok", m_radioOk).Number("radio_failed", m_radioFailed);
        counts += std::string(counts.empty() ? "" : ", ") + "radio ok " + std::to_string(m_radioOk) +
                  ", radio failed " + std::to_string(m_radioFailed);
    }
    json.Raw("per_hour", rate.empty() ? "null" : rate).Number("seconds", s);
    Say("station " + m_station + " ends after " + time + ": " + std::to_string(m_done) +
        (m_done == 1 ? " printer" : " printers") + (counts.empty() ? "" : " (" + counts + ")") +
        (rate.empty() ? "" : ", " + rate + " per hour"));
    Event(json);
}

}  // namespace vendrill::cli
