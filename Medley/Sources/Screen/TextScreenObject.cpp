#include "Medley/Sources/Screen/TextScreenObject.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "Medley/Sources/Screen/RoundedRectangleFactory.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QZ_TEXT_LEAK_CHECKED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(QZ_TEXT_LEAK_CHECKED)
#include <sanitizer/lsan_interface.h>
#define QZ_IGNORE_LEAKS_BEGIN() __lsan_disable()
#define QZ_IGNORE_LEAKS_END() __lsan_enable()
#else
#define QZ_IGNORE_LEAKS_BEGIN()
#define QZ_IGNORE_LEAKS_END()
#endif

namespace medley {
namespace {

// One layout context per thread (Pango's font maps are not shared across
// threads), with hinting off so that the same text draws the same everywhere.
PangoContext* textContext() {
  static thread_local struct Holder {
    PangoContext* context = nullptr;
    Holder() {
      // Fontconfig loads its configuration once and keeps it for the process's
      // life (only an explicit finaliser, which Pango never calls, frees it):
      // load it here, outside the leak checker's view.
      QZ_IGNORE_LEAKS_BEGIN();
      FcInit();  // before Pango, which would otherwise load it on a thread of its own
      PangoFontMap* map = pango_cairo_font_map_new();
      context = pango_font_map_create_context(map);
      g_object_unref(map);
      cairo_font_options_t* options = cairo_font_options_create();
      cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
      cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
      cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
      pango_cairo_context_set_font_options(context, options);
      cairo_font_options_destroy(options);
      for (PangoWeight weight : {PANGO_WEIGHT_NORMAL, PANGO_WEIGHT_BOLD}) {
        PangoLayout* warmUp = pango_layout_new(context);
        PangoFontDescription* font = pango_font_description_new();
        pango_font_description_set_family(font, TextScreenObject::kFontFamily);
        pango_font_description_set_weight(font, weight);
        pango_font_description_set_absolute_size(font, 12 * PANGO_SCALE);
        pango_layout_set_font_description(warmUp, font);
        pango_font_description_free(font);
        pango_layout_set_text(warmUp, "x", 1);
        PangoRectangle extents;
        pango_layout_get_pixel_extents(warmUp, nullptr, &extents);
        g_object_unref(warmUp);
      }
      QZ_IGNORE_LEAKS_END();
    }
    ~Holder() { g_object_unref(context); }
  } holder;
  return holder.context;
}

std::optional<double> parseDouble(const std::string& text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return v;
}

}  // namespace

void TextScreenObject::SurfaceDeleter::operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
void TextScreenObject::LayoutDeleter::operator()(PangoLayout* l) const { g_object_unref(l); }

TextScreenObject::TextScreenObject(std::optional<std::string> id) : ScreenObject(std::move(id)) {}
TextScreenObject::~TextScreenObject() = default;

void TextScreenObject::setString(const std::string& string) {
  if (string != string_) invalidateLayout();
  string_ = string;
}

void TextScreenObject::setAttributes(std::optional<TextAttributes> attributes) {
  if (attributes && attributes->fontSize && !isUsableFontSize(*attributes->fontSize))
    attributes->fontSize = attributes_ ? attributes_->fontSize : TextAttributes{}.fontSize;
  attributes_ = std::move(attributes);
  invalidateLayout();
}

void TextScreenObject::setBounds(const ScreenRect& bounds) {
  const bool changed = !(bounds == this->bounds());
  ScreenObject::setBounds(bounds);
  if (!changed) return;
  context_.reset();
  if (!std::isfinite(bounds.width) || !std::isfinite(bounds.height)) return;
  const double w = std::trunc(bounds.width), h = std::trunc(bounds.height);
  if (w < 1 || h < 1 || w > 16384 || h > 16384) return;
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(w), static_cast<int>(h));
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    return;
  }
  context_.reset(s);
}

std::optional<ScreenColor> TextScreenObject::parseColorText(const std::string& text) {
  std::string s = !text.empty() && text[0] == '#' ? text.substr(1) : text;
  if (s.size() != 8) return std::nullopt;
  size_t i = 0;
  bool negative = false;
  if (s[0] == '+' || s[0] == '-') negative = s[i++] == '-';
  if (i == s.size()) return std::nullopt;
  uint64_t v = 0;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) return std::nullopt;
    v = v * 16 + d;
  }
  if (negative && v != 0) return std::nullopt;
  return ScreenColor{((v >> 16) & 0xFF) / 255.0, ((v >> 8) & 0xFF) / 255.0, (v & 0xFF) / 255.0,
                     ((v >> 24) & 0xFF) / 255.0};
}

std::string TextScreenObject::colorText(const ScreenColor& c) {
  auto byte = [](double v) { return static_cast<unsigned>(std::clamp(std::lround(v * 255), 0L, 255L)); };
  char buf[16];
  std::snprintf(buf, sizeof buf, "#%02X%02X%02X%02X", byte(c.alpha), byte(c.red), byte(c.green), byte(c.blue));
  return buf;
}

ScreenObject::Elements TextScreenObject::elements() const {
  const bool hasFont = attributes_ && attributes_->fontSize;
  const bool hasColor = attributes_ && attributes_->foregroundColor;
  return {{"value", string_},
          {"fontSize", hasFont ? shortestDecimalText(*attributes_->fontSize) : "32"},
          {"color", hasColor ? colorText(*attributes_->foregroundColor) : "#FFFFFFFF"}};
}

void TextScreenObject::setElements(const Elements& elements) {
  auto entry = [&](const char* key, const char* fallback) {
    const auto it = elements.find(key);
    return it == elements.end() ? std::string(fallback) : it->second;
  };
  setString(entry("value", ""));
  if (const auto size = parseDouble(entry("fontSize", "32.0")); size && isUsableFontSize(*size)) {
    if (attributes_) attributes_->fontSize = *size;
    invalidateLayout();
  }
  if (const auto color = parseColorText(entry("color", "#FFFFFFFF"))) {
    if (attributes_) attributes_->foregroundColor = *color;
    invalidateLayout();
  }
}

ScreenRect TextScreenObject::makeBounds(const ScreenSize& size) {
  if (string_.empty()) {
    framesetter_.reset();
    return {};
  }
  const ScreenRect b = ScreenObject::makeBounds(size);
  PangoLayout* layout = pango_layout_new(textContext());
  pango_layout_set_text(layout, string_.c_str(), -1);
  PangoFontDescription* font = pango_font_description_new();
  pango_font_description_set_family(font, kFontFamily);
  if (attributes_ && attributes_->fontSize) {
    pango_font_description_set_weight(font, PANGO_WEIGHT_BOLD);
    pango_font_description_set_absolute_size(font, std::max(0.0, *attributes_->fontSize) * PANGO_SCALE);
  } else {
    pango_font_description_set_absolute_size(font, 12.0 * PANGO_SCALE);
  }
  pango_layout_set_font_description(layout, font);
  pango_font_description_free(font);
  pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  if (std::isfinite(b.width) && b.width > 0 && b.width < 1e6)
    pango_layout_set_width(layout, static_cast<int>(b.width * PANGO_SCALE));
  framesetter_.reset(layout);
  PangoRectangle logical;
  pango_layout_get_pixel_extents(layout, nullptr, &logical);
  const double w = std::min<double>(logical.width, b.width), h = std::min<double>(logical.height, b.height);
  return ScreenObject::makeBounds({w, h});
}

std::optional<ScreenImage> TextScreenObject::makeImage(ScreenRenderer&) {
  if (!context_ || !framesetter_) return std::nullopt;
  cairo_surface_t* surface = context_.get();
  cairo_t* cr = cairo_create(surface);
  cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
  cairo_paint(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  const ScreenColor c = attributes_ && attributes_->foregroundColor ? *attributes_->foregroundColor : ScreenColor::black();
  cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
  pango_cairo_update_layout(cr, framesetter_.get());
  pango_cairo_show_layout(cr, framesetter_.get());
  cairo_destroy(cr);
  cairo_surface_flush(surface);

  const int w = cairo_image_surface_get_width(surface), h = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const uint8_t* data = cairo_image_surface_get_data(surface);
  auto bgra = platform::PixelBuffer::make(w, h, platform::PixelFormat::bgra);
  if (!data || !bgra) return std::nullopt;
  // Cairo keeps premultiplied samples; pictures carry straight alpha.
  const auto out = bgra->plane(0);
  for (int y = 0; y < h; ++y) {
    const uint8_t* s = data + static_cast<size_t>(y) * stride;
    uint8_t* d = out.data + static_cast<size_t>(y) * out.bytesPerRow;
    for (int x = 0; x < w; ++x) {
      const unsigned a = s[4 * x + 3];
      for (int k = 0; k < 3; ++k) d[4 * x + k] = a == 0 ? 0 : static_cast<uint8_t>(std::min(255u, (s[4 * x + k] * 255u + a / 2) / a));
      d[4 * x + 3] = static_cast<uint8_t>(a);
    }
  }
  return ScreenImage(std::move(bgra));
}

}  // namespace medley
