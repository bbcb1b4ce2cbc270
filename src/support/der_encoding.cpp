#include "support/der_encoding.h"

#include <algorithm>
#include <vector>

namespace quillmark {
namespace {

constexpr int kMaxDepth = 32;
constexpr std::uint8_t kConstructed = 0x20;
constexpr std::uint8_t kTagNumberMask = 0x1f;
constexpr std::uint8_t kClassMask = 0xc0;
constexpr std::uint8_t kOctetString = 0x04;
constexpr std::uint8_t kSet = 0x11;

// One value read from the input: its identifier octets and its content, already in DER.
struct Value {
    Bytes identifier;
    Bytes content;
    bool constructed = false;
};

// The DER form of a value whose content is already DER.
Bytes encode(const Value& value) {
    Bytes out = value.identifier;
    const Bytes length = derLength(value.content.size());
    out.insert(out.end(), length.begin(), length.end());
    out.insert(out.end(), value.content.begin(), value.content.end());
    return out;
}

class BerReader {
  public:
    BerReader(const std::uint8_t* data, std::size_t count, const std::vector<Bytes>& verbatim)
        : data_(data), end_(count), verbatim_(verbatim) {}

    bool atEnd() const { return position_ == end_; }

    // Reads one value and, with its content, the values nested in it.
    bool readValue(Value& value, int depth) {
        if (depth > kMaxDepth || !readIdentifier(value.identifier)) return false;
        path_.resize(depth);
        path_.push_back(value.identifier[0]);
        value.constructed = (value.identifier[0] & kConstructed) != 0;
        bool indefinite = false;
        std::size_t length = 0;
        if (!readLength(indefinite, length)) return false;
        if (indefinite && !value.constructed) return false;
        if (!value.constructed) {
            if (length > end_ - position_) return false;
            value.content.assign(data_ + position_, data_ + position_ + length);
            position_ += length;
            return true;
        }
        const std::size_t contentEnd = indefinite ? end_ : position_ + length;
        if (!indefinite && length > end_ - position_) return false;
        return readMembers(value, depth, indefinite, contentEnd);
    }

  private:
    bool readIdentifier(Bytes& identifier) {
        if (position_ == end_) return false;
        identifier.assign(1, data_[position_++]);
        if ((identifier[0] & kTagNumberMask) != kTagNumberMask) return true;
        // High tag number: base-128 digits, the last one without its top bit.
        while (position_ < end_) {
            const std::uint8_t digit = data_[position_++];
            identifier.push_back(digit);
            if ((digit & 0x80) == 0) return identifier.size() <= 5;
        }
        return false;
    }

    bool readLength(bool& indefinite, std::size_t& length) {
        if (position_ == end_) return false;
        const std::uint8_t first = data_[position_++];
        indefinite = first == 0x80;
        if (first < 0x80 || indefinite) {
            length = indefinite ? 0 : first;
            return true;
        }
        const std::size_t digits = first & 0x7f;
        if (digits > sizeof(std::uint32_t) || digits > end_ - position_) return false;
        length = 0;
        for (std::size_t i = 0; i < digits; ++i)
            length = length << 8 | data_[position_++];
        return true;
    }

    // Copies one whole value as it stands; it must have a definite length.
    bool copyValue(Bytes& copy) {
        const std::size_t start = position_;
        Bytes identifier;
        bool indefinite = false;
        std::size_t length = 0;
        if (!readIdentifier(identifier) || !readLength(indefinite, length) || indefinite ||
            length > end_ - position_) {
            return false;
        }
        position_ += length;
        copy.assign(data_ + start, data_ + position_);
        return true;
    }

    bool atEndOfContents() const {
        return end_ - position_ >= 2 && data_[position_] == 0 && data_[position_ + 1] == 0;
    }

    bool readMembers(Value& value, int depth, bool indefinite, std::size_t contentEnd) {
        const bool octetString =
            value.identifier.size() == 1 && (value.identifier[0] & ~kConstructed) == kOctetString;
        const bool universalSet =
            value.identifier.size() == 1 && (value.identifier[0] & ~kConstructed) == kSet;
        const bool copied = std::find(verbatim_.begin(), verbatim_.end(), path_) != verbatim_.end();
        std::vector<Bytes> members;
        while (indefinite ? !atEndOfContents() : position_ < contentEnd) {
            if (copied) {
                members.emplace_back();
                if (!copyValue(members.back())) return false;
                continue;
            }
            Value member;
            if (!readValue(member, depth + 1)) return false;
            if (octetString) {
                // The segments of a constructed OCTET STRING are joined into one.
                if (member.identifier != Bytes{kOctetString}) return false;
                value.content.insert(value.content.end(), member.content.begin(),
                                     member.content.end());
            } else {
                members.push_back(encode(member));
            }
        }
        if (indefinite) {
            if (!atEndOfContents()) return false;
            position_ += 2;
        } else if (position_ != contentEnd) {
            return false;
        }
        if (octetString) {
            value.identifier[0] &= static_cast<std::uint8_t>(~kConstructed);
            value.constructed = false;
            return true;
        }
        if (universalSet && !copied && (value.identifier[0] & kClassMask) == 0)
            std::sort(members.begin(), members.end());
        for (const Bytes& member : members)
            value.content.insert(value.content.end(), member.begin(), member.end());
        return true;
    }

  private:
    const std::uint8_t* data_;
    std::size_t position_ = 0;
    std::size_t end_;
    const std::vector<Bytes>& verbatim_;
    Bytes path_;  // the first identifier octet of each value from the outermost down
};

}  // namespace

Bytes derLength(std::size_t length) {
    if (length < 0x80) return Bytes{static_cast<std::uint8_t>(length)};
    Bytes digits;
    for (std::size_t rest = length; rest != 0; rest >>= 8)
        digits.insert(digits.begin(), static_cast<std::uint8_t>(rest & 0xff));
    digits.insert(digits.begin(), static_cast<std::uint8_t>(0x80 | digits.size()));
    return digits;
}

OptionalBytes berToDer(const std::uint8_t* ber, std::size_t count,
                       const std::vector<Bytes>& verbatim) {
    BerReader reader(ber, count, verbatim);
    Value value;
    if (!reader.readValue(value, 0) || !reader.atEnd()) return std::nullopt;
    return encode(value);
}

}  // namespace quillmark
