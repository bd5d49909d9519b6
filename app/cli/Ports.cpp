// vendrill-cli ports: what can be opened, without opening anything.

#include "app/cli/Station.h"
#include "link/Ports.h"

#include <algorithm>
#include <cctype>

namespace vendrill::cli {

int RunPorts(const Options& o, const ResultSink& write)
{
    std::vector<PortEntry> ports = ListPorts();
    // --vid / --pid keep the ports of one USB vendor or product.
    const auto lower = [](std::string t) {
        for (char& c : t)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    ports.erase(std::remove_if(ports.begin(), ports.end(),
                               [&](const PortEntry& p) {
                                   return (!o.vid.empty() && lower(p.vendor) != o.vid) ||
                                          (!o.pid.empty() && lower(p.product) != o.pid);
                               }),
                ports.end());
    std::string out;
    if (o.json) {
        std::vector<std::string> objects;
        for (const PortEntry& p : ports) {
            CJsonObject entry;
            const auto orNull = [&entry](const char* key, const std::string& v) {
                if (v.empty())
                    entry.Null(key);
                else
                    entry.Text(key, v);
            };
            std::string byId = "[";
            for (std::size_t i = 0; i < p.byId.size(); ++i)
                byId += (i ? ", " : "") + JsonString(p.byId[i]);
            byId += "]";
            entry.Text("path", p.path).Text("kind", p.kind);
            orNull("com", p.comName);
            entry.Raw("by_id", byId);
            orNull("vendor", p.vendor);
            orNull("product", p.product);
            orNull("serial", p.serial);
            orNull("description", p.description);
            orNull("location", p.location);
            if (p.kind == "usb-printer")
                entry.Bool("accepted", p.accepted);
            objects.push_back(entry.Str());
        }
        out = JsonArray(objects) + "\n";
    } else {
        // A table under a header; "-" where there is nothing to say.
        std::vector<std::vector<std::string>> rows = {
            {"PATH", "KIND", "COM", "USB", "SERIAL", "ACCEPTED", "LOCATION", "DESCRIPTION", "BY-ID"}};
        for (const PortEntry& p : ports) {
            const auto cell = [](const std::string& v) { return v.empty() ? std::string("-") : PlainText(v); };
            std::string byId;
            for (const std::string& id : p.byId)
                byId += (byId.empty() ? "" : " ") + PlainText(id);
            rows.push_back({cell(p.path), p.kind, cell(p.comName),
                            p.vendor.empty() && p.product.empty() ? "-" : PlainText(p.vendor + ":" + p.product),
                            cell(p.serial), p.kind == "usb-printer" ? (p.accepted ? "yes" : "no") : "-",
                            cell(p.location), cell(p.description), cell(byId)});
        }
        std::vector<std::size_t> width(rows[0].size(), 0);
        for (const auto& row : rows)
            for (std::size_t c = 0; c < row.size(); ++c)
                width[c] = std::max(width[c], row[c].size());
        for (const auto& row : rows) {
            std::string line;
            for (std::size_t c = 0; c < row.size(); ++c)
                line += row[c] + (c + 1 < row.size() ? std::string(width[c] - row[c].size() + 2, ' ') : "");
            out += line + "\n";
        }
    }
    if (!write(out)) {
        Say("write error");
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace vendrill::cli
