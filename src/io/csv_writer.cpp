#include "io/csv_writer.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace vesk {
namespace {

constexpr std::size_t stream_buffer_size = 4 * 1024 * 1024;

// Rows are formatted into a chunk of this size that is handed to the stream
// in one fwrite, instead of one stdio call per number.
constexpr std::size_t chunk_size = 64 * 1024;
// Room kept free for one field: a comma, the longest number text plus the
// scratch bytes put_g may write past it, and a newline.
constexpr std::size_t field_room = 48;

constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

char* put_pair(char* p, unsigned n) {
    std::memcpy(p, digit_pairs + 2 * n, 2);
    return p + 2;
}

// The general fallback: to_chars with general format and a precision gives
// the bytes of printf's %.6g in the C locale for every double. Needs 32
// bytes at out.
char* put_g_exact(double v, char* out) {
    return std::to_chars(out, out + 32, v, std::chars_format::general, 6).ptr;
}

// Writes the %g text of v and returns the end. Needs 32 bytes at out (it
// may write scratch bytes past the returned end, within those 32).
//
// Common values take a short path: v is scaled to six integer digits by one
// multiplication or division with an exactly representable power of ten, so
// the scaled value is off from the exact one by at most half an ulp, below
// 1.2e-10 in [1e5, 1e6]. Unless its fraction lies within 1e-9 of one half,
// the rounding to six digits is the same for the exact value, which is what
// printf rounds. Near a half, and for exponents beyond the table, zeros,
// subnormals, infinities and NaNs, the exact formatter decides.
inline char* put_g(double v, char* out) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const bool negative = (bits >> 63) != 0;
    const int biased_exponent = static_cast<int>((bits >> 52) & 0x7ff);
    if (biased_exponent == 0 || biased_exponent == 0x7ff) {
        if ((bits << 1) == 0) {
            if (negative) *out++ = '-';
            *out++ = '0';
            return out;
        }
        if (biased_exponent == 0x7ff) {
            // glibc spells a NaN with the sign bit set "-nan".
            const bool nan = (bits << 12) != 0;
            if (negative) *out++ = '-';
            std::memcpy(out, nan ? "nan" : "inf", 3);
            return out + 3;
        }
        return put_g_exact(v, out);  // subnormal
    }
    // floor(e2 * log10(2)): the decimal exponent, or one less.
    int exp10 = ((biased_exponent - 1023) * 78913) >> 18;
    if (exp10 < -17 || exp10 > 26) return put_g_exact(v, out);

    const double magnitude = negative ? -v : v;
    const auto scale = [magnitude](int e) {
        const int shift = 5 - e;
        return shift >= 0 ? magnitude * powers_of_ten[shift] : magnitude / powers_of_ten[-shift];
    };
    double scaled = scale(exp10);
    if (scaled >= 1e6) scaled = scale(++exp10);

    auto digits = static_cast<std::uint32_t>(scaled);  // floor, scaled > 0
    const double fraction = scaled - static_cast<double>(digits);
    if (fraction > 0.5 - 1e-9 && fraction < 0.5 + 1e-9) return put_g_exact(v, out);
    if (fraction > 0.5) ++digits;
    if (digits == 1000000) {
        digits = 100000;
        ++exp10;
    }
    if (digits < 100000 || digits > 999999) return put_g_exact(v, out);

    // The six digits, then how many of them are significant once trailing
    // zeros are dropped.
    char d[8];
    put_pair(d, digits / 10000);
    put_pair(d + 2, digits / 100 % 100);
    put_pair(d + 4, digits % 100);
    int kept = 6;
    while (d[kept - 1] == '0') --kept;

    if (negative) *out++ = '-';
    if (exp10 >= 0 && exp10 < 6) {
        const int whole = exp10 + 1;
        std::memcpy(out, d, 6);
        if (kept <= whole) return out + whole;
        std::memmove(out + whole + 1, d + whole, 6 - static_cast<std::size_t>(whole));
        out[whole] = '.';
        return out + kept + 1;
    }
    if (exp10 < 0 && exp10 >= -4) {
        std::memcpy(out, "0.0000", 6);
        out += 1 - exp10;
        std::memcpy(out, d, 6);
        return out + kept;
    }
    *out++ = d[0];
    if (kept > 1) {
        *out++ = '.';
        std::memcpy(out, d + 1, 5);
        out += kept - 1;
    }
    *out++ = 'e';
    *out++ = exp10 < 0 ? '-' : '+';
    return put_pair(out, static_cast<unsigned>(exp10 < 0 ? -exp10 : exp10));
}

// Writes one metadata text as a CSV field, quoted only when it would
// otherwise break the row.
void write_field(std::FILE* f, const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        std::fwrite(text.data(), 1, text.size(), f);
        return;
    }
    std::fputc('"', f);
    for (char c : text) {
        if (c == '"') std::fputc('"', f);
        std::fputc(c, f);
    }
    std::fputc('"', f);
}

}  // namespace

std::size_t format_g(double v, char* out) {
    return static_cast<std::size_t>(put_g(v, out) - out);
}

CsvStreamWriter::CsvStreamWriter(const std::string& path,
                                 const std::vector<std::string>& node_names)
    : buffer_(new char[stream_buffer_size]()),
      column_count_(node_names.size()),
      path_(path),
      chunk_(new char[chunk_size]) {
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) throw std::runtime_error("write_csv: failed to open output file: " + path);
    std::setvbuf(file_, buffer_.get(), _IOFBF, stream_buffer_size);
    std::fputs("time_ms", file_);
    for (const auto& name : node_names) {
        std::fputc(',', file_);
        std::fwrite(name.data(), 1, name.size(), file_);
    }
    std::fputc('\n', file_);
}

CsvStreamWriter::~CsvStreamWriter() {
    if (!file_) return;
    hand_over_chunk();
    std::fclose(file_);
}

void CsvStreamWriter::hand_over_chunk() {
    if (chunk_used_ == 0) return;
    std::fwrite(chunk_.get(), 1, chunk_used_, file_);
    chunk_used_ = 0;
}

void CsvStreamWriter::check_row_width(std::size_t width) const {
    if (width != column_count_) {
        throw std::runtime_error("write_csv: solution row width does not match node_names");
    }
}

void CsvStreamWriter::write_row(double t, const std::vector<double>& values) {
    check_row_width(values.size());
    // Every field is written only while at least field_room bytes are left,
    // which also covers the row's final newline.
    char* const start = chunk_.get();
    char* const limit = start + (chunk_size - field_room);
    char* p = start + chunk_used_;
    if (p > limit) {
        hand_over_chunk();
        p = start;
    }
    p = put_g(t, p);
    for (const double v : values) {
        if (p > limit) {
            chunk_used_ = static_cast<std::size_t>(p - start);
            hand_over_chunk();
            p = start;
        }
        *p++ = ',';
        p = put_g(v, p);
    }
    *p++ = '\n';
    chunk_used_ = static_cast<std::size_t>(p - start);
}

void CsvStreamWriter::flush() {
    if (!file_) return;
    hand_over_chunk();
    std::fflush(file_);
}

void CsvStreamWriter::finish() {
    if (!file_) return;
    hand_over_chunk();
    const bool write_failed = std::fflush(file_) != 0 || std::ferror(file_) != 0;
    const bool close_failed = std::fclose(file_) != 0;
    file_ = nullptr;
    if (write_failed || close_failed) {
        throw std::runtime_error("write_csv: failed to write output file: " + path_);
    }
}

void write_row_map_csv(const std::string& path, const std::vector<PopulationMetadata>& records) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("write_row_map_csv: failed to open output file: " + path);

    std::vector<std::reference_wrapper<const PopulationMetadata>> sorted(records.begin(),
                                                                         records.end());
    // Stable, so records that share a row index keep their order on every
    // standard library.
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return a.get().row_index < b.get().row_index;
    });

    std::fputs("row_index,pop_id,pop_typ,con_typ,circ_id,h_row,d_row,mat_id\n", f);
    for (const PopulationMetadata& r : sorted) {
        std::fprintf(f, "%d", static_cast<int>(r.row_index));
        for (const std::string* text :
             {&r.pop_id, &r.pop_typ, &r.con_typ, &r.circ_id, &r.h_row, &r.d_row, &r.mat_id}) {
            std::fputc(',', f);
            write_field(f, *text);
        }
        std::fputc('\n', f);
    }
    const bool write_failed = std::fflush(f) != 0 || std::ferror(f) != 0;
    const bool close_failed = std::fclose(f) != 0;
    if (write_failed || close_failed) {
        throw std::runtime_error("write_row_map_csv: failed to write output file: " + path);
    }
}

}  // namespace vesk
