// Key translation between stored key codes and X keysyms, and between modifier encodings.
#include "sys/x11/keymap.h"

#include <gtest/gtest.h>

namespace mirvex::sys::x11 {
namespace {

TEST(X11Keymap, EveryVirtualKeyRoundTripsThroughItsKeysym) {
  int mapped = 0;
  for (uint16_t vk = 0; vk < 0x80; ++vk) {
    auto sym = keysym_for_vk(vk);
    if (!sym) continue;
    ++mapped;
    EXPECT_EQ(vk_for_keysym(*sym), vk) << "vk " << vk;
  }
  EXPECT_GE(mapped, 100);  // letters, digits, punctuation, function, keypad and modifier keys
  EXPECT_EQ(vk_for_keysym('A'), vk_for_keysym('a'));
  EXPECT_FALSE(keysym_for_vk(0x0A));  // ISO section key: no fixed keysym
  EXPECT_FALSE(vk_for_keysym(0x12345));
}

TEST(X11Keymap, ModifiersTranslate) {
  struct Case {
    uint32_t carbon;
    uint16_t x;
    uint64_t flags;
  };
  for (const Case& c : {Case{CARBON_CMD, X_MOD4, FLAG_COMMAND}, Case{CARBON_OPTION, X_MOD1, FLAG_OPTION},
                        Case{CARBON_CONTROL, X_CONTROL, FLAG_CONTROL}, Case{CARBON_SHIFT, X_SHIFT, FLAG_SHIFT},
                        Case{CARBON_CMD | CARBON_SHIFT, X_MOD4 | X_SHIFT, FLAG_COMMAND | FLAG_SHIFT}}) {
    EXPECT_EQ(x_mods_for_carbon(c.carbon), c.x);
    EXPECT_EQ(flags_for_x_state(c.x), c.flags);
    EXPECT_EQ(x_state_for_flags(c.flags), c.x);
  }
  EXPECT_EQ(flags_for_x_state(X_MOD2), 0u) << "NumLock is no modifier flag";
}

TEST(X11Keymap, TextOfKeysyms) {
  EXPECT_EQ(text_for_keysym('a'), u"a");
  EXPECT_EQ(text_for_keysym(0xe9), u"é");
  EXPECT_EQ(text_for_keysym(0x010020ac), u"€");
  EXPECT_EQ(text_for_keysym(0xffbe), u"");  // F1 types nothing
}

}  // namespace
}  // namespace mirvex::sys::x11
