#include "core/settings.h"

namespace mirvex {

Shortcut Shortcut::slot(size_t index) {
  Shortcut s;
  switch (index) {
    case 0: s.enabled = true; s.hold = 0; s.key = 0; break;
    case 1: s.enabled = true; s.hold = 1; s.key = 0; s.apps = 1; s.windowless = 1; break;
    case 2: s.enabled = false; s.hold = 2; s.key = 0; break;
    case 3: s.enabled = false; s.hold = 0; s.key = 1; break;
    default: s.enabled = false; s.hold = 1; s.key = 1; break;
  }
  return s;
}

std::vector<Exception> default_exceptions() {
  std::vector<Exception> list{{"com.apple.finder", 2, 0}};
  // Remote-desktop and virtual-machine apps take the shortcuts themselves in full screen.
  for (const char* id : {"com.microsoft.rdc.macos", "com.teamviewer.TeamViewer",
                         "org.virtualbox.app.VirtualBoxVM", "com.parallels.desktop.console",
                         "com.vmware.fusion", "com.utmapp.UTM"})
    list.push_back({id, 0, 1});
  return list;
}

Settings Settings::defaults() {
  Settings s;
  for (size_t i = 0; i < 5; ++i) s.shortcuts.push_back(Shortcut::slot(i));
  s.exceptions = default_exceptions();
  return s;
}

uint8_t Settings::maxWidthPct(Style s) const {
  switch (s) {
    case Style::Titles: return titlesMaxWidthPct;
    case Style::AppIcons: return appIconsMaxWidthPct;
    case Style::Thumbnails: return thumbnailsMaxWidthPct;
  }
  return titlesMaxWidthPct;
}
uint8_t Settings::sizePct(Style s) const {
  switch (s) {
    case Style::Titles: return titlesSizePct;
    case Style::AppIcons: return appIconsSizePct;
    case Style::Thumbnails: return thumbnailsSizePct;
  }
  return titlesSizePct;
}
uint16_t Settings::frameW(Style s) const {
  switch (s) {
    case Style::Titles: return titlesFrameW;
    case Style::AppIcons: return appIconsFrameW;
    case Style::Thumbnails: return thumbnailsFrameW;
  }
  return titlesFrameW;
}
uint16_t Settings::frameH(Style s) const {
  switch (s) {
    case Style::Titles: return titlesFrameH;
    case Style::AppIcons: return appIconsFrameH;
    case Style::Thumbnails: return thumbnailsFrameH;
  }
  return titlesFrameH;
}

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 8 hexadecimal digits as alpha, red, green, blue. A single leading '+' is allowed,
// as an unsigned number reader would.
std::optional<Color> read_argb(std::string_view digits) {
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  uint32_t v = 0;
  for (char c : digits) {
    int d = hex_digit(c);
    if (d < 0) return std::nullopt;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  auto byte = [v](int shift) { return static_cast<double>((v >> shift) & 0xFF) / 255.0; };
  return Color{byte(16), byte(8), byte(0), byte(24)};
}

}  // namespace

std::optional<Color> parse_color(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  if (text.size() < 2) return std::nullopt;
  if (text.starts_with("0x")) {
    if (text.size() != 10) return std::nullopt;
    return read_argb(text.substr(2));
  }
  if (text.front() != '#' || text.size() != 7) return std::nullopt;
  // "ff" in front of the six digits, so a sign there is never leading and never accepted.
  std::string digits = "ff";
  digits.append(text.substr(1));
  return read_argb(digits);
}

Look look(const Settings& settings, size_t index, size_t entries, std::shared_ptr<void> extra) {
  const Shortcut sc = index < settings.shortcuts.size() ? settings.shortcuts[index] : Shortcut::slot(index);
  const Style st = sc.style_opt().value_or(settings.style);
  const uint8_t sz = sc.size_opt().value_or(settings.size);

  Look l;
  if (sz == 3) {
    l.scale = 1.0;
    l.sizeClass = entries < 7 ? 2 : entries < 21 ? 1 : 0;
    l.autoSize = !(st == Style::AppIcons && settings.appIconsIconSize >= 40);
  } else {
    l.scale = settings.sizePct(st) / 100.0;
    l.sizeClass = 1;
    l.autoSize = false;
  }
  l.extra = std::move(extra);
  l.maxWidthPct = settings.maxWidthPct(st);
  l.sizePct = settings.sizePct(st);
  l.frameW = settings.frameW(st);
  l.frameH = settings.frameH(st);
  l.appsOnly = st == Style::AppIcons && sc.apps == 3;
  l.style = st;
  l.panelX = settings.panelX;
  l.panelY = settings.panelY;
  l.opacityPct = settings.opacityPct;
  l.tint = settings.tint;
  l.corner = settings.corner;
  l.appIconsIconSize = settings.appIconsIconSize;
  l.appIconsRows = settings.appIconsRows;
  l.theme = settings.theme;
  l.truncation = settings.truncation;
  l.showTitles = settings.showTitles;
  l.statusIcons = settings.statusIcons;
  l.spaceLabels = settings.spaceLabels;
  l.fadeIn = settings.fadeIn;
  l.staggerIn = settings.staggerIn;
  l.liquidGlass = settings.liquidGlass;
  l.glide = settings.glide;
  l.swell = settings.swell;
  l.nameFade = settings.nameFade;
  l.closeSlide = settings.closeSlide;
  l.scrollFade = settings.scrollFade;
  l.fadeOut = settings.fadeOut;
  l.previewBeside = settings.previewBeside;
  l.hover = settings.hover;
  l.scroll = settings.scroll;
  l.hints = settings.hints;
  return l;
}

}  // namespace mirvex
