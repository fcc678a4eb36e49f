// One thing the program did on the simulated machine: a host call with its
// arguments and result, a line of output, a fault that fired. Events are
// small flat records, cheap enough for runs of millions of calls; they turn
// into JSON only when asked.
#ifndef VNTR_SIM_EVENT_H
#define VNTR_SIM_EVENT_H

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using json = nlohmann::ordered_json;
using Bytes = std::string;

struct Field {
    enum Kind : uint8_t { kNull, kBool, kNumber, kBytes, kList };
    // A string literal of the simulator's. "args.from" is "from" inside the
    // object "args"; the fields of one object stand next to each other.
    const char* key;
    Kind kind = kNull;
    int64_t number = 0;  // also the flag
    // The byte string; for a list, its items, each followed by a NUL (list
    // items are names, which hold none).
    Bytes bytes;
    // The literal of the simulator's that `bytes` holds (Event::Name), or
    // none: a literal goes in the binary form by where it lies.
    const char* literal = nullptr;
    std::vector<Bytes> Items() const;
};

class Event {
   public:
    Event() = default;
    explicit Event(std::string type) : type_(std::move(type)) { fields_.reserve(10); }

    const std::string& type() const { return type_; }
    const std::vector<Field>& fields() const { return fields_; }

    Event& Num(const char* key, int64_t value);
    Event& Flag(const char* key, bool value);
    Event& Str(const char* key, Bytes value);
    // A byte string that is a literal of the simulator's, such as a host
    // function's name: it is recorded in three or four bytes, not its text.
    Event& Name(const char* key, const char* literal);
    // A byte string, or null for a null pointer.
    Event& StrOrNull(const char* key, const char* value);
    Event& Null(const char* key);
    // The number pointed at, or null for a null pointer.
    template <typename T>
    Event& NumOrNull(const char* key, const T* value) {
        return value ? Num(key, static_cast<int64_t>(*value)) : Null(key);
    }
    Event& List(const char* key, std::vector<Bytes> value);

    const Field* Get(const char* key) const;
    bool Has(const char* key) const { return Get(key) != nullptr; }
    bool IsNull(const char* key) const;
    int64_t GetNum(const char* key, int64_t fallback = 0) const;
    bool GetFlag(const char* key, bool fallback = false) const;
    Bytes GetStr(const char* key, const Bytes& fallback = "") const;

    // The event as JSON: byte strings with one character per byte.
    json ToJson() const;
    void AppendJson(std::string& out) const;

    // A compact binary form, for passing events to the parent of a forked
    // process: keys go by where their literals lie in the program image,
    // which the parent shares with its child.
    void Encode(std::string& out) const;
    // Reads one event at *at (advancing it); false when the data is cut short.
    static bool Decode(const char* data, size_t size, size_t* at, Event* out);

   private:
    Field& Add(const char* key, Field::Kind kind);
    std::string type_;
    std::vector<Field> fields_;
};

// An iterator over a list whose items are made when read (list[i] returns
// one by value): the events of a record, the lines of a TextList.
template <typename List, typename Value>
class IndexIterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = Value;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Value;
    IndexIterator(const List* list, size_t i) : list_(list), i_(i) {}
    Value operator*() const { return (*list_)[i_]; }
    IndexIterator& operator++() { return ++i_, *this; }
    IndexIterator operator+(difference_type n) const {
        return {list_, i_ + static_cast<size_t>(n)};
    }
    difference_type operator-(const IndexIterator& o) const {
        return static_cast<difference_type>(i_) - static_cast<difference_type>(o.i_);
    }
    bool operator==(const IndexIterator& o) const { return i_ == o.i_; }
    bool operator!=(const IndexIterator& o) const { return i_ != o.i_; }

   private:
    const List* list_;
    size_t i_;
};

// Events kept in their binary form, back to back, and decoded when read:
// a run of millions of calls costs one buffer instead of millions of small
// objects.
class EventList {
   public:
    size_t size() const { return offsets_.size(); }
    bool empty() const { return offsets_.empty(); }
    // The size of the encoded events held.
    size_t bytes() const { return size_; }
    Event operator[](size_t i) const;
    Event back() const { return (*this)[size() - 1]; }
    // Decodes event i into `into`, reusing its storage.
    void DecodeAt(size_t i, Event* into) const;
    // The type of event i, without decoding the rest.
    std::string_view TypeAt(size_t i) const;
    void push_back(const Event& e);
    // Takes over encoded events, each preceded by its length (4 bytes),
    // held wherever `owner` keeps them (a mapped record, for one): `size`
    // bytes at `data`; `offsets` says where each event begins. The list
    // is read-only from then on.
    void Adopt(std::shared_ptr<const void> owner, const char* data, size_t size,
               std::vector<size_t> offsets);
    // Keeps only the events whose type passes `keep`, in their order.
    template <typename Keep>
    void KeepIf(Keep keep) {
        size_t kept = 0;
        for (size_t i = 0; i < offsets_.size(); ++i)
            if (keep(TypeAt(i))) offsets_[kept++] = offsets_[i];
        offsets_.resize(kept);
    }
    // Moves the events whose type passes `take` to a list of their own, in
    // their order: an adopted record is shared, never copied.
    template <typename Take>
    EventList TakeIf(Take take) {
        EventList taken;
        if (owner_) {
            taken.owner_ = owner_;
            taken.adopted_ = adopted_;
            taken.size_ = size_;
        }
        for (size_t i = 0; i < offsets_.size(); ++i) {
            if (!take(TypeAt(i))) continue;
            if (owner_)
                taken.offsets_.push_back(offsets_[i]);
            else
                taken.push_back((*this)[i]);
        }
        KeepIf([&](std::string_view type) { return !take(type); });
        return taken;
    }

    using iterator = IndexIterator<EventList, Event>;
    iterator begin() const { return {this, 0}; }
    iterator end() const { return {this, size()}; }

   private:
    const char* data() const { return owner_ ? adopted_ : built_.data(); }
    std::string built_;  // what push_back encoded
    std::shared_ptr<const void> owner_;
    const char* adopted_ = nullptr;
    size_t size_ = 0;
    std::vector<size_t> offsets_;  // of each event's encoded form in data()
};

// Byte strings in JSON: one character per byte (U+0000 to U+00FF), so any
// byte survives the trip; BytesOf() undoes Text().
std::string Text(const Bytes& bytes);
Bytes BytesOf(const std::string& text);
// Appends a byte string as a quoted JSON string, one character per byte.
void AppendJsonBytes(std::string& out, const Bytes& bytes);
// The same without the quotes, for a string written in pieces.
void AppendJsonChars(std::string& out, const Bytes& bytes);
// Every JSON text the simulator writes escapes the C1 controls (U+0080 to
// U+009F) as it escapes the C0 ones, \u0080 to \u009f: JSON allows them raw,
// but some terminals obey them. AppendJsonChars writes them so; this
// escapes them in UTF-8 JSON text made otherwise.
void EscapeControlsInJson(std::string& text);
// `value` as JSON text (compact, or indented by `indent`), bytes that are no
// UTF-8 replaced, the controls escaped: what every writer of the simulator
// uses in place of json::dump.
std::string Dump(const json& value, int indent = -1);

// The digits of hexadecimal text, lower case.
extern const char kHexDigits[17];
// Bytes as two lower-case hexadecimal digits each: what a machine file's
// { hex = ".." } holds, as its dump and --print-expect write it.
std::string HexOf(const Bytes& bytes);
// The value of a hexadecimal digit (either case), or -1.
int HexDigitValue(char c);

}  // namespace sim

#endif  // VNTR_SIM_EVENT_H
