#include "common/flat_snapshot.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace kvxsim {

namespace {

// "kvxflat1 I ... W ... S ... A ... T ... O n ... E n ... M a b": each part
// starts with its letter, so a reader that finds another letter knows the
// text is no snapshot of this form.
constexpr std::string_view kTag = "kvxflat1";
constexpr std::size_t kMaxListed = 1024;  // options or variables of one controller
constexpr std::size_t kMaxText = 4096;

class Writer {
public:
    void tag(std::string_view t) { raw(t); }
    void number(std::int64_t v) {
        char buf[24];
        raw({buf, static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf)});
    }
    void real(double v) {
        char buf[40];
        raw({buf, static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf)});
    }
    // Its length, a colon and the text, with control characters and '%'
    // as %XX: the snapshot travels as one line.
    void text(const std::string& t) {
        std::string escaped;
        for (unsigned char c : t) {
            if (c < 0x20 || c == '%' || c == 0x7f) {
                static constexpr char kHex[] = "0123456789ABCDEF";
                escaped += '%';
                escaped += kHex[c >> 4];
                escaped += kHex[c & 0xF];
            } else {
                escaped += static_cast<char>(c);
            }
        }
        number(static_cast<std::int64_t>(escaped.size()));
        out_.back() = ':';  // the length and its text are one field
        out_ += escaped;
        out_ += ' ';
    }
    std::string take() {
        if (!out_.empty()) out_.pop_back();
        return std::move(out_);
    }

private:
    void raw(std::string_view t) {
        out_ += t;
        out_ += ' ';
    }
    std::string out_;
};

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool tag(std::string_view t) { return field() == t; }
    // Numbers are read where they stand: this runs some 150 times a tick.
    template <typename T>
    bool number(T& out) {
        const char* at = text_.data() + pos_;
        std::int64_t v = 0;
        auto [end, error] = std::from_chars(at, text_.data() + text_.size(), v);
        if (!ok_ || error != std::errc() || end == at) return fail();
        if (v < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
            v > static_cast<std::int64_t>(std::numeric_limits<T>::max()))
            return fail();
        pos_ = static_cast<std::size_t>(end - text_.data());
        out = static_cast<T>(v);
        return separator();
    }
    bool flag(bool& out) {
        int v = 0;
        if (!number(v) || (v != 0 && v != 1)) return fail();
        out = v == 1;
        return true;
    }
    bool real(double& out) {
        const char* at = text_.data() + pos_;
        auto [end, error] = std::from_chars(at, text_.data() + text_.size(), out);
        if (!ok_ || error != std::errc() || end == at || !std::isfinite(out)) return fail();
        pos_ = static_cast<std::size_t>(end - text_.data());
        return separator();
    }
    bool text(std::string& out) {
        const std::size_t colon = text_.find(':', pos_);
        if (colon == std::string_view::npos) return fail();
        std::size_t size = 0;
        auto [end, error] = std::from_chars(text_.data() + pos_, text_.data() + colon, size);
        if (colon == pos_ || error != std::errc() || end != text_.data() + colon || size > kMaxText ||
            size > text_.size() - colon - 1)
            return fail();
        const std::string_view escaped = text_.substr(colon + 1, size);
        pos_ = colon + 1 + size;
        if (escaped.find('%') == std::string_view::npos) {
            out.assign(escaped);
            return separator();
        }
        out.clear();
        for (std::size_t i = 0; i < escaped.size(); ++i) {
            if (escaped[i] != '%') {
                out += escaped[i];
                continue;
            }
            unsigned char c = 0;
            if (i + 2 >= escaped.size() ||
                std::from_chars(escaped.data() + i + 1, escaped.data() + i + 3, c, 16).ptr != escaped.data() + i + 3)
                return fail();
            out += static_cast<char>(c);
            i += 2;
        }
        return separator();
    }
    bool done() const { return ok_ && pos_ >= text_.size(); }

private:
    // The next blank-separated field; empty at the end or after a failure.
    std::string_view field() {
        if (!ok_ || pos_ >= text_.size()) return {};
        std::size_t end = text_.find(' ', pos_);
        if (end == std::string_view::npos) end = text_.size();
        const std::string_view f = text_.substr(pos_, end - pos_);
        pos_ = end < text_.size() ? end + 1 : end;
        return f;
    }
    bool separator() {
        if (!ok_) return false;
        if (pos_ == text_.size()) return true;
        if (text_[pos_] != ' ') return fail();
        ++pos_;
        return true;
    }
    bool fail() {
        ok_ = false;
        return false;
    }
    std::string_view text_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace

const FlatSnapshot::Option* FlatSnapshot::option(std::int32_t number) const {
    for (const Option& o : options)
        if (o.number == number) return &o;
    return nullptr;
}

const FlatSnapshot::Variable* FlatSnapshot::variable(std::string_view name) const {
    for (const Variable& v : variables)
        if (v.name == name) return &v;
    return nullptr;
}

std::string encodeFlatSnapshot(const FlatSnapshot& s) {
    Writer w;
    w.tag(kTag);
    w.tag("I");
    w.number(s.withInit);
    if (s.withInit) {
        w.number(s.initRc);
        w.number(s.running);
        if (s.running) {
            w.number(s.boardType);
            w.number(s.axisCount);
            w.text(s.tavosName);
        }
    }
    w.tag("W");
    for (const auto& word : s.words) {
        w.number(word.rc);
        w.number(word.value);
    }
    w.tag("S");
    w.number(s.status.rc);
    w.number(s.status.minCycle);
    w.number(s.status.maxCycle);
    w.number(s.status.runCounter);
    for (std::uint32_t link : s.status.links) w.number(link);
    w.tag("A");
    for (const auto& a : s.axes) {
        w.number(a.rc);
        w.real(a.limit);
        w.number(a.state);
        w.number(a.status);
        w.number(a.checksum);
        w.number(a.encoder);
    }
    w.tag("T");
    for (const auto& t : s.tasks) {
        w.number(t.rc);
        w.number(t.error);
        w.number(t.line);
        w.number(t.state);
        w.text(t.file);
    }
    w.tag("O");
    w.number(static_cast<std::int64_t>(s.options.size()));
    for (const auto& o : s.options) {
        w.number(o.number);
        w.number(o.rc);
        w.number(o.value);
    }
    w.tag("E");
    w.number(static_cast<std::int64_t>(s.variables.size()));
    for (const auto& v : s.variables) {
        w.text(v.name);
        w.number(v.rc);
        w.text(v.value);
    }
    w.tag("M");
    w.number(s.missingOptionRc);
    w.number(s.missingVariableRc);
    return w.take();
}

bool decodeFlatSnapshot(std::string_view text, FlatSnapshot& s) {
    Reader r(text);
    if (!r.tag(kTag) || !r.tag("I") || !r.flag(s.withInit)) return false;
    s.running = false;
    if (s.withInit) {
        if (!r.number(s.initRc) || !r.flag(s.running)) return false;
        if (s.running && (!r.number(s.boardType) || !r.number(s.axisCount) || !r.text(s.tavosName))) return false;
    }
    if (!r.tag("W")) return false;
    for (auto& word : s.words)
        if (!r.number(word.rc) || !r.number(word.value)) return false;
    if (!r.tag("S") || !r.number(s.status.rc) || !r.number(s.status.minCycle) || !r.number(s.status.maxCycle) ||
        !r.number(s.status.runCounter))
        return false;
    for (std::uint32_t& link : s.status.links)
        if (!r.number(link)) return false;
    if (!r.tag("A")) return false;
    for (auto& a : s.axes)
        if (!r.number(a.rc) || !r.real(a.limit) || !r.number(a.state) || !r.number(a.status) ||
            !r.number(a.checksum) || !r.number(a.encoder))
            return false;
    if (!r.tag("T")) return false;
    for (auto& t : s.tasks)
        if (!r.number(t.rc) || !r.number(t.error) || !r.number(t.line) || !r.number(t.state) || !r.text(t.file))
            return false;
    std::uint32_t count = 0;
    if (!r.tag("O") || !r.number(count) || count > kMaxListed) return false;
    s.options.resize(count);
    for (auto& o : s.options)
        if (!r.number(o.number) || !r.number(o.rc) || !r.number(o.value)) return false;
    if (!r.tag("E") || !r.number(count) || count > kMaxListed) return false;
    s.variables.resize(count);
    for (auto& v : s.variables)
        if (!r.text(v.name) || !r.number(v.rc) || !r.text(v.value)) return false;
    return r.tag("M") && r.number(s.missingOptionRc) && r.number(s.missingVariableRc) && r.done();
}

}  // namespace kvxsim
