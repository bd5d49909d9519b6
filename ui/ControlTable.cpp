#include "ui/ControlTable.h"

#include <string_view>

namespace vendrill {

namespace {
using K = ControlKind;
constexpr unsigned VE = kVisible;
constexpr unsigned HD = kDisabled;
constexpr unsigned VR = kVisible | kRightAlign;
constexpr unsigned HDR = kDisabled | kRightAlign;
}  // namespace

// Identifiers, captions, places and states of the 69 controls.
const std::array<ControlDef, kControlCount> kControls = {{
    {1005, K::PushButton, "Open", 184, 64, 53, 26, VE},
    {kNoId, K::Label, "Status : ", 11, 72, 33, 8, VE},
    {1006, K::Label, "Static", 44, 72, 132, 9, VE | kSunken},
    {kNoId, K::GroupBox, "Communication setting", 7, 3, 294, 94, VE},
    {1124, K::PushButton, "Close", 243, 64, 53, 26, VE},
    {kNoId, K::Label, "Current BDA :", 31, 112, 54, 8, VR},
    {kNoId, K::Label, "Current PinKey :", 31, 145, 54, 8, VR},
    {kNoId, K::Label, "Set PinKey :", 31, 160, 54, 8, VR},
    {1007, K::Edit, "", 89, 110, 122, 14, VE | kReadOnly},
    {1009, K::Edit, "", 94, 142, 122, 14, VE | kReadOnly},
    {1010, K::Edit, "", 94, 157, 122, 14, VE},
    {1011, K::PushButton, "Get Pinkey", 226, 141, 70, 14, HD},
    {1012, K::PushButton, "Set Pinkey", 226, 157, 70, 14, VE},
    {kNoId, K::Label, "Current BDN :", 31, 192, 54, 8, VR},
    {1013, K::Edit, "", 94, 189, 122, 14, VE | kReadOnly},
    {kNoId, K::Label, "Set BDN :", 31, 207, 54, 8, VR},
    {1014, K::Edit, "", 94, 204, 122, 14, VE},
    {1015, K::PushButton, "Get BDN", 226, 189, 70, 14, HD},
    {1016, K::PushButton, "Set BDN", 226, 205, 70, 14, VE},
    {kNoId, K::Label, "Receive Data", 12, 165, 44, 8, HD},
    {1001, K::PushButton, "Clear", 255, 165, 47, 14, HD},
    {1017, K::CheckBox, "", 19, 160, 9, 10, VE},
    {1018, K::CheckBox, "", 19, 207, 8, 10, VE},
    {kNoId, K::Label, "Current Security Level :", 28, 147, 77, 8, HDR},
    {1019, K::Edit, "", 112, 144, 105, 14, HD | kReadOnly},
    {kNoId, K::Label, "Set Security Level :", 38, 163, 66, 8, HDR},
    {1020, K::ComboEditable, "", 112, 161, 105, 53, HD},
    {1021, K::PushButton, "Get Level", 228, 144, 70, 14, HD},
    {1022, K::PushButton, "Set Level", 228, 159, 70, 14, HD},
    {1023, K::CheckBox, "", 20, 163, 8, 10, HD},
    {kNoId, K::GroupBox, "Bluetooth Device Address", 7, 100, 213, 29, VE},
    {kNoId, K::GroupBox, "Pinkey Setting", 7, 132, 294, 44, VE},
    {kNoId, K::GroupBox, "Bluetooth Device Name", 7, 179, 294, 45, VE},
    {kNoId, K::GroupBox, "Bluetooth Security Level", 8, 134, 294, 47, HD},
    {1024, K::PushButton, "Get Info", 226, 103, 70, 26, VE},
    {1002, K::PushButton, "Get BDA", 7, 109, 47, 14, HD},
    {1032, K::GroupBox, "Bluetooth Pairing Mode - ( New Version만 사용 가능)", 8, 134, 294, 47, HD},
    {kNoId, K::Label, "Current Pairing Mode :", 24, 149, 81, 8, HDR},
    {1025, K::Edit, "", 112, 146, 105, 14, HD | kReadOnly},
    {kNoId, K::Label, "Set Pairing Mode :", 35, 164, 69, 8, HDR},
    {1026, K::PushButton, "Get Pairing", 227, 146, 70, 14, HD},
    {1027, K::PushButton, "Set Pairing", 227, 162, 70, 14, HD},
    {1028, K::CheckBox, "", 20, 164, 8, 10, HD},
    {1029, K::ComboEditable, "", 112, 162, 105, 53, HD},
    {1076, K::Label, "Port", 13, 35, 14, 8, VE},
    {1077, K::Label, "Baud Rate", 71, 35, 34, 8, VE},
    {1079, K::Label, "Data Bits", 189, 35, 30, 8, VE},
    {1080, K::Label, "Stop Bit", 248, 35, 26, 8, VE},
    {1084, K::Label, "Parity", 131, 35, 20, 8, VE},
    {1035, K::ComboList, "", 248, 45, 48, 104, VE},
    {1036, K::ComboList, "", 189, 45, 48, 94, VE},
    {1037, K::ComboList, "", 130, 45, 48, 89, VE},
    {1038, K::ComboList, "", 71, 45, 48, 97, VE},
    {1039, K::ComboList, "", 12, 45, 48, 96, VE},
    {1004, K::MultiLineEdit, "", 8, 143, 293, 38, HD},
    {1008, K::RadioButton, "Serial", 12, 16, 33, 10, VE},
    {1030, K::RadioButton, "USB", 62, 16, 29, 10, VE},
    {1031, K::ComboEditable, "", 192, 15, 60, 70, HD},
    {kNoId, K::Label, "BT module version :", 120, 17, 67, 8, HD},
    {1137, K::Label, "Printer Model :", 12, 39, 48, 8, VE},
    {1033, K::ComboEditable, "", 65, 37, 63, 55, VE},
    {kNoId, K::GroupBox, "Sniff mode Setting", 8, 138, 294, 45, HD},
    {1034, K::PushButton, "get sniff mode status", 116, 156, 81, 14, HD},
    {1040, K::PushButton, "set sniff mode enable", 216, 148, 81, 14, HD},
    {1041, K::PushButton, "set sniff mode disable", 216, 164, 81, 14, HD},
    {1042, K::Edit, "", 28, 156, 87, 14, HD | kReadOnly},
    {1043, K::CheckBox, "Add numeric", 72, 168, 57, 10, HD},
    {1044, K::Edit, "", 132, 167, 57, 14, HD | kDigitsOnly},
    {1045, K::CheckBox, "Print BDN", 8, 168, 47, 10, HD},
}};

// The second column starts where the first one's frames end, with the same
// margins; every panel keeps the arrangement of its controls.
const std::array<ControlPlace, kFullViewPlaceCount> kFullViewPlaces = {{
    // Standard areas: Get BDA beside its field, the name options under the
    // name, inside the name's frame.
    {1007, nullptr, 89, 110, 72, 14},
    {1002, nullptr, 166, 109, 47, 14},
    {kNoId, "Bluetooth Device Name", 7, 179, 294, 60},
    {1043, nullptr, 94, 224, 57, 10},
    {1044, nullptr, 153, 222, 63, 14},
    {1045, nullptr, 226, 224, 47, 10},
    // Security level.
    {kNoId, "Bluetooth Security Level", 308, 3, 294, 47},
    {kNoId, "Current Security Level :", 328, 16, 77, 8},
    {1019, nullptr, 412, 13, 105, 14},
    {kNoId, "Set Security Level :", 338, 32, 66, 8},
    {1020, nullptr, 412, 30, 105, 53},
    {1021, nullptr, 528, 13, 70, 14},
    {1022, nullptr, 528, 28, 70, 14},
    {1023, nullptr, 320, 32, 8, 10},
    // Pairing mode.
    {1032, nullptr, 308, 53, 294, 47},
    {kNoId, "Current Pairing Mode :", 324, 68, 81, 8},
    {1025, nullptr, 412, 65, 105, 14},
    {kNoId, "Set Pairing Mode :", 335, 83, 69, 8},
    {1026, nullptr, 528, 65, 70, 14},
    {1027, nullptr, 528, 81, 70, 14},
    {1028, nullptr, 320, 83, 8, 10},
    {1029, nullptr, 412, 81, 105, 53},
    // Sniff mode.
    {kNoId, "Sniff mode Setting", 308, 103, 294, 45},
    {1034, nullptr, 416, 121, 81, 14},
    {1040, nullptr, 517, 113, 81, 14},
    {1041, nullptr, 517, 129, 81, 14},
    {1042, nullptr, 328, 121, 87, 14},
    // Receive log: its caption and "Clear" above the log.
    {kNoId, "Receive Data", 310, 155, 44, 8},
    {1001, nullptr, 555, 151, 47, 14},
    {1004, nullptr, 308, 167, 294, 72},
}};

ControlPlace FullViewPlace(const ControlDef& def)
{
    for (const ControlPlace& p : kFullViewPlaces)
        if (def.id != kNoId ? p.id == def.id : (p.id == kNoId && std::string_view(p.caption) == def.caption))
            return p;
    return {def.id, def.caption, def.x, def.y, def.w, def.h};
}

const ControlDef* FindControl(int id)
{
    if (id == kNoId)
        return nullptr;
    for (const ControlDef& c : kControls)
        if (c.id == id)
            return &c;
    return nullptr;
}

namespace {

// Controls whose caption is not what they are called: fields and drop-downs
// take the caption of the label beside them and the check boxes without a
// caption say what they unlock. The status line is not called "Status" like
// its label, so that each can be told from the other.
struct AccessibleNameDef {
    int id;
    const char* name;
};

constexpr AccessibleNameDef kAccessibleNames[] = {
    {idc::Status, "Status line"},
    {idc::CurrentBDA, "Current BDA"},
    {idc::CurrentPinKey, "Current PinKey"},
    {idc::SetPinKeyEdit, "Set PinKey"},
    {idc::CurrentBDN, "Current BDN"},
    {idc::SetBDNEdit, "Set BDN"},
    {idc::CheckPinKey, "Unlock Set PinKey"},
    {idc::CheckBDN, "Unlock Set BDN"},
    {idc::CurrentLevel, "Current Security Level"},
    {idc::SetLevelList, "Set Security Level"},
    {idc::CheckLevel, "Unlock Set Security Level"},
    {idc::CurrentPairing, "Current Pairing Mode"},
    {idc::CheckPairing, "Unlock Set Pairing Mode"},
    {idc::SetPairingList, "Set Pairing Mode"},
    {idc::StopBitList, "Stop Bit"},
    {idc::DataBitsList, "Data Bits"},
    {idc::ParityList, "Parity"},
    {idc::BaudList, "Baud Rate"},
    {idc::PortList, "Port"},
    {idc::ReceiveLog, "Receive Data"},
    {idc::VersionList, "BT module version"},
    {idc::PrinterModelList, "Printer Model"},
    {idc::SniffStatusEdit, "Sniff mode status"},
    {idc::NumericSuffix, "Numeric suffix"},
};

}  // namespace

std::string AccessibleName(const ControlDef& def)
{
    if (def.id != kNoId)
        for (const AccessibleNameDef& n : kAccessibleNames)
            if (n.id == def.id)
                return n.name;
    // A label's trailing " :" is layout, not part of the name.
    std::string name = def.caption;
    const auto trim = [&name] {
        while (!name.empty() && name.back() == ' ')
            name.pop_back();
    };
    trim();
    if (!name.empty() && name.back() == ':') {
        name.pop_back();
        trim();
    }
    return name;
}

bool IsTabStop(ControlKind kind)
{
    switch (kind) {
    case ControlKind::PushButton:
    case ControlKind::CheckBox:
    case ControlKind::Edit:
    case ControlKind::MultiLineEdit:
    case ControlKind::ComboList:
    case ControlKind::ComboEditable:
        return true;
    case ControlKind::Label:
    case ControlKind::GroupBox:
    case ControlKind::RadioButton:
        return false;
    }
    return false;
}

namespace {
constexpr const char* kPorts[] = {"COM1",  "COM2",  "COM3",  "COM4",  "COM5",  "COM6",  "COM7",
                                  "COM8",  "COM9",  "COM10", "COM11", "COM12", "COM13", "COM14",
                                  "COM15", "COM16", "COM17", "COM18", "COM19", "COM20"};
constexpr const char* kBauds[] = {"9600", "19200", "38400", "57600", "115200"};
constexpr const char* kParities[] = {"None", "Odd", "Even"};
constexpr const char* kDataBits[] = {"7", "8"};
constexpr const char* kStopBits[] = {"1", "2"};
constexpr const char* kVersions[] = {"Old Version", "New Version"};
constexpr const char* kModels[] = {"HOLLINDE", "STAR"};
constexpr const char* kPairingModes[] = {"Legacy pairing", "Just Works", "Numeric Comparison"};
constexpr const char* kLevels[] = {"Not use Pinkey", "Use Pinkey"};

template <std::size_t N>
constexpr int Count(const char* const (&)[N])
{
    return static_cast<int>(N);
}
}  // namespace

const std::array<ComboListDef, kComboListCount> kComboLists = {{
    {1039, kPorts, Count(kPorts), 0},
    {1038, kBauds, Count(kBauds), 3},
    {1037, kParities, Count(kParities), 0},
    {1036, kDataBits, Count(kDataBits), 1},
    {1035, kStopBits, Count(kStopBits), 0},
    {1031, kVersions, Count(kVersions), 1},
    {1033, kModels, Count(kModels), 0},
    {1029, kPairingModes, Count(kPairingModes), 0},
    {1020, kLevels, Count(kLevels), 0},
}};

}  // namespace vendrill
