#pragma once

#include <array>
#include <cstddef>
#include <string>

// The settings dialog's controls as data: identifier, kind, caption, place
// (dialog units) and style. The dialog builds its widgets from this table;
// the order of the table is the creation order and the Tab order.
namespace vendrill {

enum class ControlKind {
    PushButton,
    Label,
    GroupBox,
    Edit,
    MultiLineEdit,
    CheckBox,
    RadioButton,
    ComboList,      // list-only drop-down
    ComboEditable,  // drop-down with a text field
};

// Style bits of one control.
enum ControlStyle : unsigned {
    kVisible    = 1u << 0,
    kDisabled   = 1u << 1,
    kRightAlign = 1u << 2,  // labels only
    kSunken     = 1u << 3,  // labels only
    kReadOnly   = 1u << 4,  // edits only
    kDigitsOnly = 1u << 5,  // edits only
};

inline constexpr int kNoId = -1;  // labels and frames nobody addresses

struct ControlDef {
    int id;
    ControlKind kind;
    const char* caption;  // UTF-8
    int x, y, w, h;       // dialog units; for a drop-down, h is the opened list
    unsigned style;
};

inline constexpr int kControlCount = 69;
extern const std::array<ControlDef, kControlCount> kControls;

// Returns nullptr for an unknown identifier (and for kNoId).
const ControlDef* FindControl(int id);

// The name a screen reader announces for a control (UTF-8, never empty): its
// caption without the trailing " :"; for a field or drop-down the caption of
// the label beside it ("Current BDA"); for the unlabelled unlock check boxes
// what they unlock ("Unlock Set PinKey"); for the status line "Status line".
std::string AccessibleName(const ControlDef& def);

// Push buttons, check boxes, edits and drop-downs are Tab stops; labels,
// frames and the two radio buttons are not.
bool IsTabStop(ControlKind kind);

// Lists of the drop-downs, filled in this order when the dialog is built.
struct ComboListDef {
    int id;
    const char* const* items;
    int count;
    int startSelection;
};

inline constexpr int kComboListCount = 9;
extern const std::array<ComboListDef, kComboListCount> kComboLists;

// Window of the settings dialog, in dialog units.
inline constexpr int kDialogWidthDu = 311;
inline constexpr int kDialogHeightDu = 231;
inline constexpr const char* kDialogCaption = "Vendrill Ver2.8";

// The full view ("All settings") shows the controls that the table keeps
// hidden as well: the single Get buttons, the module version list and the
// device-name options in the standard view's areas, and the security level,
// pairing mode, sniff mode and receive log panels, which lie over one
// another in the table, in a second column. A control not listed here keeps
// its table place.
struct ControlPlace {
    int id;               // kNoId: a label or frame, found by its caption
    const char* caption;  // for kNoId only
    int x, y, w, h;
};

inline constexpr int kFullViewWidthDu = 612;
inline constexpr int kFullViewHeightDu = 246;
inline constexpr int kFullViewPlaceCount = 30;
extern const std::array<ControlPlace, kFullViewPlaceCount> kFullViewPlaces;

// The control's place in the full view (its table place when not listed).
ControlPlace FullViewPlace(const ControlDef& def);

// Control identifiers used by code.
namespace idc {
inline constexpr int Clear = 1001;
inline constexpr int GetBDA = 1002;
inline constexpr int ReceiveLog = 1004;
inline constexpr int Open = 1005;
inline constexpr int Status = 1006;
inline constexpr int CurrentBDA = 1007;
inline constexpr int Serial = 1008;
inline constexpr int CurrentPinKey = 1009;
inline constexpr int SetPinKeyEdit = 1010;
inline constexpr int GetPinKey = 1011;
inline constexpr int SetPinKey = 1012;
inline constexpr int CurrentBDN = 1013;
inline constexpr int SetBDNEdit = 1014;
inline constexpr int GetBDN = 1015;
inline constexpr int SetBDN = 1016;
inline constexpr int CheckPinKey = 1017;
inline constexpr int CheckBDN = 1018;
inline constexpr int CurrentLevel = 1019;
inline constexpr int SetLevelList = 1020;
inline constexpr int GetLevel = 1021;
inline constexpr int SetLevel = 1022;
inline constexpr int CheckLevel = 1023;
inline constexpr int GetInfo = 1024;
inline constexpr int CurrentPairing = 1025;
inline constexpr int GetPairing = 1026;
inline constexpr int SetPairing = 1027;
inline constexpr int CheckPairing = 1028;
inline constexpr int SetPairingList = 1029;
inline constexpr int Usb = 1030;
inline constexpr int VersionList = 1031;
inline constexpr int PairingGroup = 1032;
inline constexpr int PrinterModelList = 1033;
inline constexpr int SniffStatus = 1034;
inline constexpr int StopBitList = 1035;
inline constexpr int DataBitsList = 1036;
inline constexpr int ParityList = 1037;
inline constexpr int BaudList = 1038;
inline constexpr int PortList = 1039;
inline constexpr int SniffEnable = 1040;
inline constexpr int SniffDisable = 1041;
inline constexpr int SniffStatusEdit = 1042;
inline constexpr int AddNumeric = 1043;
inline constexpr int NumericSuffix = 1044;
inline constexpr int PrintBDN = 1045;
inline constexpr int PortLabel = 1076;
inline constexpr int BaudLabel = 1077;
inline constexpr int DataBitsLabel = 1079;
inline constexpr int StopBitLabel = 1080;
inline constexpr int ParityLabel = 1084;
inline constexpr int Close = 1124;
inline constexpr int PrinterModelLabel = 1137;
}  // namespace idc

}  // namespace vendrill
