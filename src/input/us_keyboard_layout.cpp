#include <array>

#include "input/keyboard_layout.h"

namespace vyo::host {
namespace {

// Scan codes (set 1) of the US layout by virtual key; bit 8 marks the extended form.
constexpr uint32_t kExtended = 0x100;

uint32_t UsScanCode(uint32_t vk) {
  static const std::array<uint16_t, 256> table = [] {
    std::array<uint16_t, 256> t{};
    const char* row1 = "QWERTYUIOP";
    for (int i = 0; i < 10; ++i) t[static_cast<uint8_t>(row1[i])] = static_cast<uint16_t>(0x10 + i);
    const char* row2 = "ASDFGHJKL";
    for (int i = 0; i < 9; ++i) t[static_cast<uint8_t>(row2[i])] = static_cast<uint16_t>(0x1E + i);
    const char* row3 = "ZXCVBNM";
    for (int i = 0; i < 7; ++i) t[static_cast<uint8_t>(row3[i])] = static_cast<uint16_t>(0x2C + i);
    for (int d = 1; d <= 9; ++d) t[0x30 + d] = static_cast<uint16_t>(0x01 + d);
    t[0x30] = 0x0B;
    const std::pair<uint8_t, uint16_t> fixed[] = {
        {0x1B, 0x01}, {0xBD, 0x0C}, {0xBB, 0x0D}, {0x08, 0x0E}, {0x09, 0x0F}, {0xDB, 0x1A}, {0xDD, 0x1B},
        {0x0D, 0x1C}, {0x11, 0x1D}, {0xA2, 0x1D}, {0xBA, 0x27}, {0xDE, 0x28}, {0xC0, 0x29}, {0x10, 0x2A},
        {0xA0, 0x2A}, {0xDC, 0x2B}, {0xBC, 0x33}, {0xBE, 0x34}, {0xBF, 0x35}, {0xA1, 0x36}, {0x6A, 0x37},
        {0x12, 0x38}, {0xA4, 0x38}, {0x20, 0x39}, {0x14, 0x3A}, {0x13, 0x45}, {0x91, 0x46}, {0x67, 0x47},
        {0x68, 0x48}, {0x69, 0x49}, {0x6D, 0x4A}, {0x64, 0x4B}, {0x65, 0x4C}, {0x66, 0x4D}, {0x6B, 0x4E},
        {0x61, 0x4F}, {0x62, 0x50}, {0x63, 0x51}, {0x60, 0x52}, {0x6E, 0x53}, {0xE2, 0x56}, {0x7A, 0x57},
        {0x7B, 0x58},
        // Extended forms: the right-hand modifiers, the editing and arrow keys, the keypad's divide
        // and Enter twins, NumLock, the Windows keys.
        {0xA3, 0x1D | kExtended}, {0xA5, 0x38 | kExtended}, {0x6F, 0x35 | kExtended}, {0x2C, 0x37 | kExtended},
        {0x90, 0x45 | kExtended}, {0x24, 0x47 | kExtended}, {0x26, 0x48 | kExtended}, {0x21, 0x49 | kExtended},
        {0x25, 0x4B | kExtended}, {0x27, 0x4D | kExtended}, {0x23, 0x4F | kExtended}, {0x28, 0x50 | kExtended},
        {0x22, 0x51 | kExtended}, {0x2D, 0x52 | kExtended}, {0x2E, 0x53 | kExtended}, {0x5B, 0x5B | kExtended},
        {0x5C, 0x5C | kExtended}, {0x5D, 0x5D | kExtended}};
    for (const auto& [k, s] : fixed) t[k] = s;
    for (int f = 0; f < 10; ++f) t[0x70 + f] = static_cast<uint16_t>(0x3B + f);  // F1 to F10
    return t;
  }();
  return vk < table.size() ? table[vk] : 0;
}

// The character a US key types, without and with Shift; 0 for none.
std::pair<char16_t, char16_t> UsCharacters(uint32_t vk) {
  if (vk >= 'A' && vk <= 'Z') return {static_cast<char16_t>(vk - 'A' + 'a'), static_cast<char16_t>(vk)};
  if (vk >= '0' && vk <= '9') {
    static const char16_t shifted[] = u")!@#$%^&*(";
    return {static_cast<char16_t>(vk), shifted[vk - '0']};
  }
  if (vk >= 0x60 && vk <= 0x69) return {static_cast<char16_t>(u'0' + (vk - 0x60)), static_cast<char16_t>(u'0' + (vk - 0x60))};
  switch (vk) {
    case 0x20: return {u' ', u' '};
    case 0x6A: return {u'*', u'*'};
    case 0x6B: return {u'+', u'+'};
    case 0x6D: return {u'-', u'-'};
    case 0x6E: return {u'.', u'.'};
    case 0x6F: return {u'/', u'/'};
    case 0xBA: return {u';', u':'};
    case 0xBB: return {u'=', u'+'};
    case 0xBC: return {u',', u'<'};
    case 0xBD: return {u'-', u'_'};
    case 0xBE: return {u'.', u'>'};
    case 0xBF: return {u'/', u'?'};
    case 0xC0: return {u'`', u'~'};
    case 0xDB: return {u'[', u'{'};
    case 0xDC: return {u'\\', u'|'};
    case 0xDD: return {u']', u'}'};
    case 0xDE: return {u'\'', u'"'};
    case 0x08: return {u'\b', u'\b'};
    case 0x09: return {u'\t', u'\t'};
    case 0x0D: return {u'\r', u'\r'};
    case 0x1B: return {u'\x1b', u'\x1b'};
    default: return {0, 0};
  }
}

class UsKeyboardLayout final : public IKeyboardLayout {
 public:
  uint32_t ScanCodeOf(uint32_t virtual_key) override { return UsScanCode(virtual_key); }
  int32_t Translate(uint32_t virtual_key, uint32_t /*scan_code*/, bool shift, std::u16string* text) override {
    const auto [plain, shifted] = UsCharacters(virtual_key);
    const char16_t c = shift ? shifted : plain;
    text->clear();
    if (c == 0) return 0;
    text->push_back(c);
    return 1;
  }
  uint32_t ModifiersFromKeyboardState() override { return 0; }
};

}  // namespace

std::unique_ptr<IKeyboardLayout> CreateUsKeyboardLayout() { return std::make_unique<UsKeyboardLayout>(); }

}  // namespace vyo::host
