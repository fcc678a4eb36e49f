#include "sim/event.h"

#include <cstring>
#include <stdexcept>

namespace sim {

Field& Event::Add(const char* key, Field::Kind kind) {
    fields_.emplace_back();
    Field& f = fields_.back();
    f.key = key;
    f.kind = kind;
    return f;
}

Event& Event::Name(const char* key, const char* literal) {
    Field& f = Add(key, Field::kBytes);
    f.bytes = literal;
    f.literal = literal;
    return *this;
}

Event& Event::Num(const char* key, int64_t value) {
    Add(key, Field::kNumber).number = value;
    return *this;
}

Event& Event::Flag(const char* key, bool value) {
    Add(key, Field::kBool).number = value ? 1 : 0;
    return *this;
}

Event& Event::Str(const char* key, Bytes value) {
    Add(key, Field::kBytes).bytes = std::move(value);
    return *this;
}

Event& Event::StrOrNull(const char* key, const char* value) {
    if (!value) return Null(key);
    return Str(key, value);
}

Event& Event::Null(const char* key) {
    Add(key, Field::kNull);
    return *this;
}

Event& Event::List(const char* key, std::vector<Bytes> value) {
    Bytes& joined = Add(key, Field::kList).bytes;
    for (const auto& item : value) {
        joined += item.substr(0, item.find('\0'));
        joined += '\0';
    }
    return *this;
}

std::vector<Bytes> Field::Items() const {
    std::vector<Bytes> out;
    for (size_t start = 0; start < bytes.size();) {
        size_t end = bytes.find('\0', start);
        out.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

const Field* Event::Get(const char* key) const {
    for (const Field& f : fields_)
        if (f.key == key || strcmp(f.key, key) == 0) return &f;
    return nullptr;
}

bool Event::IsNull(const char* key) const {
    const Field* f = Get(key);
    return f && f->kind == Field::kNull;
}

int64_t Event::GetNum(const char* key, int64_t fallback) const {
    const Field* f = Get(key);
    return f && (f->kind == Field::kNumber || f->kind == Field::kBool) ? f->number : fallback;
}

bool Event::GetFlag(const char* key, bool fallback) const {
    const Field* f = Get(key);
    return f && (f->kind == Field::kBool || f->kind == Field::kNumber) ? f->number != 0 : fallback;
}

Bytes Event::GetStr(const char* key, const Bytes& fallback) const {
    const Field* f = Get(key);
    return f && f->kind == Field::kBytes ? f->bytes : fallback;
}

const char kHexDigits[17] = "0123456789abcdef";

std::string HexOf(const Bytes& bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kHexDigits[c >> 4];
        out += kHexDigits[c & 15];
    }
    return out;
}

int HexDigitValue(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

namespace {

// The one rule of the simulator's JSON text for the characters it escapes
// although JSON would carry them raw: besides the C0 controls (U+0000 to
// U+001F, which JSON requires escaped), the C1 controls U+0080 to U+009F,
// which some terminals obey as commands. Readers of JSON read \u0085 back
// as the same character.
bool EscapedInJson(unsigned c) { return c < 0x20 || (c >= 0x80 && c < 0xA0); }

void AppendEscape(std::string& out, unsigned c) {
    out += "\\u00";
    out += kHexDigits[c >> 4];
    out += kHexDigits[c & 15];
}

}  // namespace

void AppendJsonChars(std::string& out, const Bytes& bytes) {
    // Plain text goes in one piece.
    size_t plain = 0;
    while (plain < bytes.size()) {
        unsigned char c = static_cast<unsigned char>(bytes[plain]);
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
        ++plain;
    }
    out.append(bytes, 0, plain);
    for (size_t i = plain; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (EscapedInJson(c)) {
                    AppendEscape(out, c);
                } else if (c < 0x80) {
                    out += static_cast<char>(c);
                } else {
                    out += static_cast<char>(0xC0 | (c >> 6));
                    out += static_cast<char>(0x80 | (c & 0x3F));
                }
        }
    }
}

void EscapeControlsInJson(std::string& text) {
    // In UTF-8, U+0080 to U+009F are 0xC2 0x80 to 0xC2 0x9F; JSON text
    // holds characters other than ASCII only inside its strings.
    size_t at = text.find('\xC2');
    if (at == std::string::npos) return;
    std::string out(text, 0, at);
    for (; at < text.size(); ++at) {
        unsigned char next = at + 1 < text.size() ? static_cast<unsigned char>(text[at + 1]) : 0;
        if (text[at] == '\xC2' && next >= 0x80 && EscapedInJson(next)) {
            AppendEscape(out, next);
            ++at;
        } else {
            out += text[at];
        }
    }
    text.swap(out);
}

std::string Dump(const json& value, int indent) {
    std::string text = value.dump(indent, ' ', false, json::error_handler_t::replace);
    EscapeControlsInJson(text);
    return text;
}

void AppendJsonBytes(std::string& out, const Bytes& bytes) {
    out += '"';
    AppendJsonChars(out, bytes);
    out += '"';
}

namespace {

// The one writer of an event as JSON: "type" first, then the fields in
// their order, "args.flags" as "flags" inside the object "args" (the fields
// of one object stand next to each other). It drives `out`, which makes
// either the text or a tree of the same document.
template <typename Out>
void WriteEvent(const std::string& type, const std::vector<Field>& fields, Out& out) {
    out.Open();
    out.Key("type", 4);
    out.Str(type);
    // The object the previous field was in: its name and length, or none.
    const char* open = nullptr;
    size_t open_length = 0;
    for (const Field& f : fields) {
        const char* dot = strchr(f.key, '.');
        size_t length = dot ? static_cast<size_t>(dot - f.key) : 0;
        bool same =
            dot ? (open && open_length == length && strncmp(open, f.key, length) == 0) : !open;
        if (!same) {
            if (open) out.Close();
            if (dot) {
                out.Key(f.key, length);
                out.Open();
            }
        }
        open = dot ? f.key : nullptr;
        open_length = length;
        const char* key = dot ? dot + 1 : f.key;
        out.Key(key, strlen(key));
        switch (f.kind) {
            case Field::kNull:
                out.Null();
                break;
            case Field::kBool:
                out.Flag(f.number != 0);
                break;
            case Field::kNumber:
                out.Number(f.number);
                break;
            case Field::kBytes:
                out.Str(f.bytes);
                break;
            case Field::kList:
                out.List(f.Items());
                break;
        }
    }
    if (open) out.Close();
    out.Close();
}

// JSON text, byte strings one character per byte.
class TextOut {
   public:
    explicit TextOut(std::string& out) : out_(out) {}
    void Open() {
        Separate();
        out_ += '{';
        first_ = true;
    }
    void Close() {
        out_ += '}';
        first_ = false;
    }
    void Key(const char* key, size_t length) {  // keys are plain words
        Separate();
        out_ += '"';
        out_.append(key, length);
        out_ += "\":";
        keyed_ = true;
    }
    void Null() { Value("null"); }
    void Flag(bool value) { Value(value ? "true" : "false"); }
    void Number(int64_t value) { Value(std::to_string(value)); }
    void Str(const Bytes& value) {
        Separate();
        AppendJsonBytes(out_, value);
    }
    void List(const std::vector<Bytes>& items) {
        Separate();
        out_ += '[';
        for (size_t i = 0; i < items.size(); ++i) {
            if (i) out_ += ',';
            AppendJsonBytes(out_, items[i]);
        }
        out_ += ']';
    }

   private:
    // A comma before every member but the first; none between a key and its
    // value.
    void Separate() {
        if (keyed_)
            keyed_ = false;
        else if (!first_)
            out_ += ',';
        first_ = false;
    }
    void Value(const std::string& text) {
        Separate();
        out_ += text;
    }
    std::string& out_;
    bool first_ = true;
    bool keyed_ = false;
};

// The same document as a tree.
class TreeOut {
   public:
    void Open() {
        if (stack_.empty()) {
            stack_.push_back(&root_);
        } else {
            json& object = Slot() = json::object();
            stack_.push_back(&object);
        }
    }
    void Close() { stack_.pop_back(); }
    void Key(const char* key, size_t length) { key_.assign(key, length); }
    void Null() { Slot() = nullptr; }
    void Flag(bool value) { Slot() = value; }
    void Number(int64_t value) { Slot() = value; }
    void Str(const Bytes& value) { Slot() = Text(value); }
    void List(const std::vector<Bytes>& items) {
        json& list = Slot() = json::array();
        for (const auto& item : items) list.push_back(Text(item));
    }
    json root_ = json::object();

   private:
    json& Slot() { return (*stack_.back())[key_]; }
    std::vector<json*> stack_;
    std::string key_;
};

}  // namespace

json Event::ToJson() const {
    TreeOut out;
    WriteEvent(type_, fields_, out);
    return std::move(out.root_);
}

void Event::AppendJson(std::string& out) const {
    TextOut text(out);
    WriteEvent(type_, fields_, text);
}

// ---- binary form ----------------------------------------------------------------
//
// type, field count, then per field its key and kind, and its value. A key
// goes as the distance of its literal from kKeyBase: every key is a literal
// of the same program image (the parent's and its forked child's), so the
// distance is small; with the kind in its lowest three bits it takes three
// or four bytes. Numbers and lengths go as variable-length integers, seven
// bits a byte (numbers zigzagged, so that small negative ones stay short):
// most are below 128 and take one byte.

static const char kKeyBase[] = "";

// The kind a literal byte string (Event::Name) goes as: read back, it is a
// byte string again.
constexpr uint64_t kLiteralKind = 5;

// Where a literal lies, from kKeyBase, or false when too far for the form.
static bool LiteralDistance(const char* literal, int64_t* distance) {
    *distance = static_cast<int64_t>(reinterpret_cast<uintptr_t>(literal) -
                                     reinterpret_cast<uintptr_t>(kKeyBase));
    return static_cast<int32_t>(*distance) == *distance;
}
static const char* LiteralAt(int64_t distance) {
    return reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(kKeyBase) +
                                         static_cast<uintptr_t>(distance));
}

// A signed number as an unsigned one that stays small when it is small
// either way (0, -1, 1, -2 ... go as 0, 1, 2, 3 ...), and back.
static uint64_t Zigzag(int64_t v) {
    return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
static int64_t Unzigzag(uint64_t v) {
    return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
}

static void PutVar(std::string& out, uint64_t v) {
    while (v >= 0x80) {
        out += static_cast<char>(v | 0x80);
        v >>= 7;
    }
    out += static_cast<char>(v);
}

static void PutBytes(std::string& out, const std::string& b) {
    PutVar(out, b.size());
    out += b;
}

void Event::Encode(std::string& out) const {
    PutBytes(out, type_);
    PutVar(out, fields_.size());
    for (const Field& f : fields_) {
        int64_t distance, literal;
        if (!LiteralDistance(f.key, &distance))
            throw std::logic_error("an event key that is no literal");
        // The key and the kind in one number: the distance zigzagged, the
        // kind in the lowest three bits.
        if (f.kind == Field::kBytes && f.literal && LiteralDistance(f.literal, &literal)) {
            PutVar(out, Zigzag(distance) << 3 | kLiteralKind);
            PutVar(out, Zigzag(literal));
            continue;
        }
        PutVar(out, Zigzag(distance) << 3 | f.kind);
        switch (f.kind) {
            case Field::kNull:
                break;
            case Field::kBool:
            case Field::kNumber:
                PutVar(out, Zigzag(f.number));
                break;
            case Field::kBytes:
            case Field::kList:
                PutBytes(out, f.bytes);
                break;
        }
    }
}

namespace {
struct ByteReader {
    const char* data;
    size_t size;
    size_t at;
    bool GetVar(uint64_t* v) {
        *v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at == size) return false;
            unsigned char c = static_cast<unsigned char>(data[at++]);
            *v |= static_cast<uint64_t>(c & 0x7F) << shift;
            if (c < 0x80) return true;
        }
        return false;
    }
    bool GetBytes(std::string* b) {
        uint64_t n;
        if (!GetVar(&n) || size - at < n) return false;
        b->assign(data + at, n);
        at += n;
        return true;
    }
};
}  // namespace

bool Event::Decode(const char* data, size_t size, size_t* at, Event* out) {
    ByteReader r{data, size, *at};
    uint64_t count;
    // A field takes at least its key and kind.
    if (!r.GetBytes(&out->type_) || !r.GetVar(&count) || count > size - r.at) {
        out->fields_.clear();
        return false;
    }
    // The fields already there are written over: their byte strings keep
    // their storage, so decoding event after event into one Event
    // allocates next to nothing.
    out->fields_.resize(count);
    // A record cut short: the fields read before the cut stay.
    auto cut = [out](uint64_t read) {
        out->fields_.resize(read);
        return false;
    };
    for (uint64_t i = 0; i < count; ++i) {
        Field& f = out->fields_[i];
        uint64_t v;
        if (!r.GetVar(&v)) return cut(i);
        f.kind = static_cast<Field::Kind>(v & 7);
        f.key = LiteralAt(Unzigzag(v >> 3));
        f.literal = nullptr;
        if ((v & 7) == kLiteralKind) {
            if (!r.GetVar(&v)) return cut(i);
            f.kind = Field::kBytes;
            f.literal = LiteralAt(Unzigzag(v));
            f.bytes = f.literal;
            f.number = 0;
            continue;
        }
        switch (f.kind) {
            case Field::kNull:
                f.number = 0;
                f.bytes.clear();
                break;
            case Field::kBool:
            case Field::kNumber:
                if (!r.GetVar(&v)) return cut(i);
                f.number = Unzigzag(v);
                f.bytes.clear();
                break;
            case Field::kBytes:
            case Field::kList:
                if (!r.GetBytes(&f.bytes)) return cut(i);
                f.number = 0;
                break;
            default:
                return cut(i);
        }
    }
    *at = r.at;
    return true;
}

void EventList::DecodeAt(size_t i, Event* into) const {
    size_t at = offsets_[i];
    uint32_t length;
    memcpy(&length, data() + at - 4, 4);
    size_t pos = 0;
    Event::Decode(data() + at, length, &pos, into);
}

Event EventList::operator[](size_t i) const {
    Event e;
    DecodeAt(i, &e);
    return e;
}

std::string_view EventList::TypeAt(size_t i) const {
    uint32_t size;
    memcpy(&size, data() + offsets_[i] - 4, 4);
    ByteReader r{data() + offsets_[i], size, 0};
    uint64_t length = 0;
    if (!r.GetVar(&length) || length > size - r.at) return {};
    return std::string_view(r.data + r.at, length);
}

void EventList::push_back(const Event& e) {
    if (owner_) throw std::logic_error("events added to an adopted record");
    size_t start = built_.size();
    built_.append(4, '\0');
    e.Encode(built_);
    uint32_t length = static_cast<uint32_t>(built_.size() - start - 4);
    memcpy(&built_[start], &length, 4);
    offsets_.push_back(start + 4);
    size_ = built_.size();
}

void EventList::Adopt(std::shared_ptr<const void> owner, const char* data, size_t size,
                      std::vector<size_t> offsets) {
    built_.clear();
    built_.shrink_to_fit();
    owner_ = std::move(owner);
    adopted_ = data;
    size_ = size;
    offsets_ = std::move(offsets);
}

std::string Text(const Bytes& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

Bytes BytesOf(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
            out += static_cast<char>(((c & 0x03) << 6) | (text[i + 1] & 0x3F));
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace sim
