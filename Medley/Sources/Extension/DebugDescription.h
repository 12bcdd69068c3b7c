#pragma once

#include <charconv>
#include <concepts>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace medley {

// Default one-value description used in debug texts.
template <typename T>
std::string describe(const T& value);

// A value's reflection: its unqualified type name, its children (labelled or
// not, already described) and, for class hierarchies, the superclass's mirror.
class Mirror {
public:
    struct Child {
        std::optional<std::string> label;
        std::string value;
    };

    Mirror(std::string subjectType, std::vector<Child> children = {},
           std::optional<Mirror> superclass = std::nullopt)
        : subjectType_(std::move(subjectType)), children_(std::move(children)) {
        if (superclass) superclass_ = std::make_shared<Mirror>(std::move(*superclass));
    }

    // Mirror::make("Point", {"x", 1}, {"y", 2.5})
    struct Field {
        template <typename V>
        Field(std::string_view label, const V& value) : child{std::string(label), describe(value)} {}
        Child child;
    };
    static Mirror make(std::string subjectType, std::initializer_list<Field> fields) {
        std::vector<Child> children;
        for (const auto& f : fields) children.push_back(f.child);
        return Mirror(std::move(subjectType), std::move(children));
    }
    Mirror withSuperclass(Mirror superclass) && {
        superclass_ = std::make_shared<Mirror>(std::move(superclass));
        return std::move(*this);
    }

    const std::string& subjectType() const { return subjectType_; }
    const std::vector<Child>& children() const { return children_; }
    const Mirror* superclassMirror() const { return superclass_.get(); }

    // "Type{a: 1,b: 2}": superclass fields first, unlabelled children skipped.
    std::string debugDescription() const {
        std::string out = subjectType_;
        out += '{';
        bool first = true;
        auto append = [&](const Mirror& m) {
            for (const auto& c : m.children_) {
                if (!c.label) continue;
                if (!first) out += ',';
                first = false;
                out += *c.label;
                out += ": ";
                out += c.value;
            }
        };
        if (superclass_) append(*superclass_);
        append(*this);
        out += '}';
        return out;
    }

private:
    std::string subjectType_;
    std::vector<Child> children_;
    std::shared_ptr<Mirror> superclass_;
};

namespace detail {
template <typename T>
concept HasDescription = requires(const T& v) {
    { v.description() } -> std::convertible_to<std::string>;
};
template <typename T>
concept HasMirror = requires(const T& v) {
    { v.customMirror() } -> std::same_as<Mirror>;
};
template <typename T>
concept Streamable = requires(std::ostream& os, const T& v) { os << v; };
template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};
}  // namespace detail

template <typename T>
std::string describe(const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        return value ? "true" : "false";
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return std::string(std::string_view(value));
    } else if constexpr (std::is_floating_point_v<T>) {
        // Shortest text that reads back, always with a fractional part.
        char buf[64];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
        std::string s(buf, ec == std::errc{} ? end : buf);
        if (s.find_first_of(".eEni") == std::string::npos) s += ".0";
        return s;
    } else if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::int8_t>) {
        return std::to_string(static_cast<int>(value));
    } else if constexpr (std::is_enum_v<T>) {
        return std::to_string(static_cast<std::underlying_type_t<T>>(value));
    } else if constexpr (detail::IsOptional<T>::value) {
        return value ? "Optional(" + describe(*value) + ")" : "nil";
    } else if constexpr (detail::HasDescription<T>) {
        return std::string(value.description());
    } else if constexpr (detail::HasMirror<T>) {
        return value.customMirror().debugDescription();
    } else if constexpr (detail::Streamable<T>) {
        std::ostringstream os;
        os << value;
        return os.str();
    } else {
        static_assert(!sizeof(T*), "no description for this type");
    }
}

}  // namespace medley
