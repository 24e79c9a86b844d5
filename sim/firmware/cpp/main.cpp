// A C++ program for comparing the variables we show with gdb's: nested
// namespaces, a class, templates of two types, references, a scoped enum,
// bit-fields, a union, arrays and pointers, as arguments and locals. Every
// result goes to a volatile sink, so that -O2 keeps the values alive.
#include <stdint.h>

namespace korv {

volatile int32_t sink_i;
volatile int64_t sink_l;
volatile float sink_f;
volatile double sink_d;
volatile uint32_t sink_u;

namespace geo {

enum class Shape : uint8_t { Dot = 1, Line = 2, Square = 4 };

struct Vec2 {
    float x, y;
};

struct Flags {
    unsigned ready : 1;
    unsigned level : 3;
    signed delta : 5;
    unsigned count : 12;
};

union Word {
    uint32_t u;
    float f;
    uint8_t b[4];
};

int32_t origin_bias = -17;
double scale = 0.125;
Shape default_shape = Shape::Line;

class Accumulator {
public:
    explicit Accumulator(int32_t base) : base_(base), total_(0), count_(0) {}
    __attribute__((noinline)) int32_t add(int32_t value, const int32_t& weight);
    __attribute__((noinline)) double mean() const;
    int64_t total() const { return total_; }
    static uint32_t created;

private:
    int32_t base_;
    int64_t total_;
    uint16_t count_;
};

uint32_t Accumulator::created = 3;

int32_t Accumulator::add(int32_t value, const int32_t& weight) {
    int32_t scaled = (value - base_) * weight;
    total_ += scaled;
    ++count_;
    return scaled;
}

double Accumulator::mean() const {
    double n = count_ ? count_ : 1;
    double m = static_cast<double>(total_) / n;
    return m;
}

__attribute__((noinline)) float length2(const Vec2& v, float weight) {
    float xx = v.x * v.x;
    float yy = v.y * v.y;
    return (xx + yy) * weight;
}

}  // namespace geo

namespace text {

const char* greeting = "korvane";

__attribute__((noinline)) uint32_t checksum(const char* s, uint32_t seed) {
    uint32_t sum = seed;
    char last = '\0';
    for (const char* p = s; *p; ++p) {
        last = *p;
        sum = sum * 31u + static_cast<unsigned char>(last);
    }
    sink_i = last;
    return sum;
}

}  // namespace text

template <typename T>
__attribute__((noinline)) T clamp_sum(const T* values, int count, T limit) {
    T sum = 0;
    for (int i = 0; i < count; ++i) {
        T v = values[i];
        sum += v;
        if (sum > limit) sum = limit;
    }
    return sum;
}

template <typename T, int N>
class Ring {
public:
    __attribute__((noinline)) T push(const T& value) {
        T old = items_[head_];
        items_[head_] = value;
        head_ = (head_ + 1) % N;
        return old;
    }
    T at(int i) const { return items_[i % N]; }

private:
    T items_[N] = {};
    int head_ = 0;
};

}  // namespace korv

korv::Ring<int16_t, 4> g_ring16;
korv::Ring<double, 3> g_ring_d;
uint64_t g_rounds;

using namespace korv;

__attribute__((noinline)) static void bump(int32_t& counter, int64_t& wide, geo::Shape& shape) {
    counter += 3;
    wide = wide / 2 - counter * 1000003LL;
    shape = shape == geo::Shape::Square ? geo::Shape::Dot : static_cast<geo::Shape>(static_cast<uint8_t>(shape) << 1);
}

__attribute__((noinline)) static uint32_t pack(geo::Flags flags, geo::Word word, bool invert) {
    uint32_t bits = flags.ready | flags.level << 1 | static_cast<uint32_t>(flags.delta & 0x1F) << 4 | flags.count << 9;
    uint32_t mixed = bits ^ word.u;
    return invert ? ~mixed : mixed;
}

int main() {
    geo::Accumulator acc(geo::origin_bias);
    int32_t samples[6] = {5, -2, 40, 7, -13, 21};
    float gains[3] = {0.5f, 1.25f, -3.0f};
    int32_t counter = 1;
    int64_t wide = -9000000000LL;
    geo::Shape shape = geo::default_shape;
    double phase = 0.0;
    char letter = 'A';
    signed char small = -3;
    unsigned char mark = 0;
    bool odd = false;
    for (uint32_t round = 0;; ++round) {
        int32_t& slot = samples[round % 6];
        const int32_t weight = static_cast<int32_t>(round % 5) + 1;
        int32_t scaled = acc.add(slot, weight);
        slot = static_cast<int32_t>((slot * 7 + 3) % 101);
        geo::Vec2 v = {static_cast<float>(slot) * 0.25f, gains[round % 3]};
        float len = geo::length2(v, gains[(round + 1) % 3]);
        geo::Flags flags = {odd, static_cast<unsigned>(round & 7u), static_cast<int>(round % 9) - 4,
                            static_cast<unsigned>(round * 13u & 0xFFFu)};
        geo::Word word;
        word.f = len;
        uint32_t packed = pack(flags, word, odd);
        int32_t isum = clamp_sum<int32_t>(samples, 6, 100);
        float fsum = clamp_sum<float>(gains, 3, 2.5f);
        int16_t evicted = g_ring16.push(static_cast<int16_t>(scaled));
        double evicted_d = g_ring_d.push(phase);
        bump(counter, wide, shape);
        phase += geo::scale * len;
        letter = static_cast<char>('A' + round % 26);
        small = static_cast<signed char>(small - 1);
        mark = static_cast<unsigned char>(round % 3 == 0 ? '\n' : round);
        odd = !odd;
        uint32_t sum = text::checksum(text::greeting, packed);
        sink_i = scaled + isum + evicted + letter + small + mark;
        sink_f = fsum + len;
        sink_d = acc.mean() + evicted_d + phase;
        sink_l = wide + acc.total();
        sink_u = sum ^ static_cast<uint32_t>(shape);
        g_rounds = g_rounds + 1;
    }
}
