#pragma once
// A text caption: laid out with Pango, sized to its text (wrapped within the
// area the layout gives it), drawn with Cairo into a bitmap of its bounds.
// Settings travel in elements(): "value", "fontSize", "color" (#AARRGGBB).
#include <memory>
#include <optional>
#include <string>

#include "Medley/Sources/Screen/ScreenObject.h"

typedef struct _cairo_surface cairo_surface_t;
typedef struct _PangoLayout PangoLayout;

namespace medley {

struct TextAttributes {
  // Bold sans-serif of this many points (pixels); none: the plain default font.
  std::optional<double> fontSize = 32;
  // None: black.
  std::optional<ScreenColor> foregroundColor = ScreenColor::white();
  friend bool operator==(const TextAttributes&, const TextAttributes&) = default;
};

class TextScreenObject final : public ScreenObject {
 public:
  static constexpr const char* kFontFamily = "DejaVu Sans";
  // Font sizes the text engine can lay out; others leave the size unchanged.
  static constexpr double kMaximumFontSize = 4096;
  static bool isUsableFontSize(double size) { return size >= 0 && size <= kMaximumFontSize; }

  explicit TextScreenObject(std::optional<std::string> id = std::nullopt);
  ~TextScreenObject() override;

  const std::string& string() const { return string_; }
  // A different text invalidates the layout.
  void setString(const std::string& string);
  const std::optional<TextAttributes>& attributes() const { return attributes_; }
  // Always invalidates the layout; an unusable font size keeps the previous one.
  void setAttributes(std::optional<TextAttributes> attributes);

  void setBounds(const ScreenRect& bounds) override;

  Elements elements() const override;
  void setElements(const Elements& elements) override;

  ScreenRect makeBounds(const ScreenSize& size) override;
  std::optional<ScreenImage> makeImage(ScreenRenderer& renderer) override;

  // "#AARRGGBB" (the "#" may be left out); none for anything else.
  static std::optional<ScreenColor> parseColorText(const std::string& text);
  static std::string colorText(const ScreenColor& color);

 private:
  struct SurfaceDeleter {
    void operator()(cairo_surface_t* s) const;
  };
  struct LayoutDeleter {
    void operator()(PangoLayout* l) const;
  };

  std::string string_;
  std::optional<TextAttributes> attributes_ = TextAttributes{};
  std::unique_ptr<cairo_surface_t, SurfaceDeleter> context_;
  std::unique_ptr<PangoLayout, LayoutDeleter> framesetter_;
};

}  // namespace medley
