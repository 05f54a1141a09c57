// The settings record: every user choice, its defaults, and the per-summon Look.
// Field names are the preference keys under which they are stored.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mirvex {

enum class SpacesFilter : uint8_t { All = 0, Visible = 1 };
enum class Style : uint8_t { Titles = 0, AppIcons = 1, Thumbnails = 2 };
enum class Theme : uint8_t { Light = 0, Dark = 1, System = 2 };

// Optional codes hold "absent" as one past the code's range.
inline constexpr uint8_t STYLE_ABSENT = 3;
inline constexpr uint8_t SIZE_ABSENT = 4;

// One switcher shortcut: 13 one-byte fields.
struct Shortcut {
  bool enabled = false;
  SpacesFilter spaces = SpacesFilter::All;
  uint8_t screens = 0;     // 0 all screens, 1 the panel's screen only
  uint8_t windowless = 0;  // 0 apps without windows listed at the end, 1 not listed
  uint8_t hold = 0;        // which modifier is held
  uint8_t key = 0;         // which key is pressed with it
  uint8_t minimized = 0;   // 0 shown, 1 hidden, 2 shown at the end
  uint8_t hidden = 0;      // same codes, for windows of hidden apps
  uint8_t fullscreen = 0;  // same codes, for full-screen windows
  uint8_t apps = 0;        // 0 all, 1 active app only, 2 other apps, 3 one entry per app
  uint8_t order = 0;       // 0 recently used, 1 recently opened, 2 alphabetical, 3 by Space
  uint8_t style = STYLE_ABSENT;  // optional Style
  uint8_t size = SIZE_ABSENT;    // optional size mode 0..3

  std::optional<Style> style_opt() const {
    return style < STYLE_ABSENT ? std::optional<Style>(static_cast<Style>(style)) : std::nullopt;
  }
  std::optional<uint8_t> size_opt() const {
    return size < SIZE_ABSENT ? std::optional<uint8_t>(size) : std::nullopt;
  }

  // The default shortcut for a slot index; indices 4 and above share slot 4's default.
  static Shortcut slot(size_t index);
  bool operator==(const Shortcut&) const = default;
};

struct Exception {
  std::string bundleId;
  uint8_t hide = 0;    // 0 no change, 1 never listed, 2 windows listed but never as a windowless app
  uint8_t ignore = 0;  // 0 shortcuts work, 1 pass through while full screen, 2 always pass through
  bool operator==(const Exception&) const = default;
};

struct AppHotkey {
  std::string bundleId;
  std::string label;
  uint32_t code = 0;  // virtual key code 0..127
  uint32_t mods = 0;  // modifier mask 0..65535
  bool enabled = true;
  bool operator==(const AppHotkey&) const = default;
};

// A character key: one Unicode scalar value, or none.
using CharKey = std::optional<char32_t>;

struct Settings {
  Style style = Style::Titles;
  uint8_t size = 3;
  Theme theme = Theme::System;
  uint8_t opacityPct = 100;
  int8_t tint = 0;
  uint8_t corner = 26;
  uint8_t afterRelease = 0;
  bool preview = false;
  uint8_t previewOpacityPct = 90;
  uint8_t previewCoverPct = 100;
  bool previewBeside = false;
  uint8_t titlesMaxWidthPct = 70, appIconsMaxWidthPct = 90, thumbnailsMaxWidthPct = 90;
  uint8_t titlesSizePct = 100, appIconsSizePct = 100, thumbnailsSizePct = 100;
  uint16_t titlesFrameW = 0, appIconsFrameW = 0, thumbnailsFrameW = 0;
  uint16_t titlesFrameH = 0, appIconsFrameH = 0, thumbnailsFrameH = 0;
  uint16_t panelX = 500, panelY = 500;
  uint8_t truncation = 2;
  uint8_t showTitles = 1;
  bool statusIcons = true;
  bool spaceLabels = true;
  uint8_t appIconsIconSize = 0;
  uint8_t appIconsRows = 0;
  bool dockBadges = true;
  uint8_t showOn = 0;
  bool fadeIn = false;
  bool staggerIn = true;
  bool liquidGlass = true;
  bool glide = true;
  bool swell = true;
  bool nameFade = true;
  bool closeSlide = true;
  bool scrollFade = true;
  bool fadeOut = false;
  uint16_t delayMs = 150;
  std::vector<Shortcut> shortcuts;
  CharKey closeKey = U'w';
  CharKey minimizeKey = U'm';
  CharKey fullscreenKey = U'f';
  CharKey hideKey = U'h';
  CharKey quitKey = U'q';
  bool arrows = true;
  bool vim = false;
  bool search = false;
  bool hints = false;
  bool hover = false;
  bool scroll = false;
  bool shiftTapBack = true;
  uint8_t hyperKey = 0;
  bool hyperShift = false;
  bool cursorFollows = false;
  std::vector<Exception> exceptions;
  bool appHotkeysOn = true;
  std::vector<AppHotkey> appHotkeys;
  bool menubarIcon = true;
  bool backgroundCapture = false;
  bool singleFocus = false;
  bool border = false;
  uint8_t borderWidth = 6;
  uint16_t borderFadeMs = 150;
  bool borderGlow = false;
  std::string borderColor = "#A5ADFD";

  // Every field at its default, the five default shortcuts and the default exceptions.
  static Settings defaults();
  bool operator==(const Settings&) const = default;

  // The per-style fields of one style.
  uint8_t maxWidthPct(Style s) const;
  uint8_t sizePct(Style s) const;
  uint16_t frameW(Style s) const;
  uint16_t frameH(Style s) const;
};

// The exceptions a fresh installation starts with.
std::vector<Exception> default_exceptions();

struct Color {
  double r = 0, g = 0, b = 0, a = 0;
  bool operator==(const Color&) const = default;
};

// "#RRGGBB" (opaque) or "0xAARRGGBB"; anything else is no colour.
std::optional<Color> parse_color(std::string_view text);

// The appearance of one summon. `extra` is carried through unchanged for the panel.
struct Look {
  double scale = 1.0;
  std::shared_ptr<void> extra;
  uint16_t panelX = 500, panelY = 500;
  uint16_t frameW = 0, frameH = 0;
  uint8_t maxWidthPct = 70, sizePct = 100;
  uint8_t opacityPct = 100;
  int8_t tint = 0;
  uint8_t corner = 26;
  uint8_t appIconsIconSize = 0, appIconsRows = 0;
  uint8_t sizeClass = 1;  // 0 small, 1 medium, 2 large
  Style style = Style::Titles;
  Theme theme = Theme::System;
  uint8_t truncation = 2;
  uint8_t showTitles = 1;
  bool autoSize = false;
  bool statusIcons = true, spaceLabels = true, fadeIn = false, staggerIn = true,
       liquidGlass = true, glide = true, swell = true, nameFade = true, closeSlide = true,
       scrollFade = true, fadeOut = false, previewBeside = false, hover = false, scroll = false,
       hints = false, appsOnly = false;
  bool operator==(const Look&) const = default;
};

// Resolves the look of a summon for shortcut `index` (an existing shortcut) and `entries`
// entries.
Look look(const Settings& settings, size_t index, size_t entries,
          std::shared_ptr<void> extra = nullptr);

}  // namespace mirvex
