#include "io/csv_writer.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace vesk {
namespace {

constexpr std::size_t stream_buffer_size = 4 * 1024 * 1024;

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
    // to_chars with general format and a precision is defined to give the
    // bytes of printf's %.6g in the C locale, at a fraction of the cost.
    const auto result = std::to_chars(out, out + 32, v, std::chars_format::general, 6);
    return static_cast<std::size_t>(result.ptr - out);
}

CsvStreamWriter::CsvStreamWriter(const std::string& path, const std::vector<std::string>& node_names)
    : buffer_(new char[stream_buffer_size]()), column_count_(node_names.size()), path_(path) {
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
    if (file_) std::fclose(file_);
}

void CsvStreamWriter::write_row(double t, const std::vector<double>& values) {
    if (values.size() != column_count_) {
        throw std::runtime_error("write_csv: solution row width does not match node_names");
    }
    char text[40];
    std::size_t len = format_g(t, text);
    std::fwrite(text, 1, len, file_);
    for (double v : values) {
        text[0] = ',';
        len = format_g(v, text + 1) + 1;
        std::fwrite(text, 1, len, file_);
    }
    std::fputc('\n', file_);
}

void CsvStreamWriter::flush() {
    if (file_) std::fflush(file_);
}

void CsvStreamWriter::finish() {
    if (!file_) return;
    const bool write_failed = std::fflush(file_) != 0 || std::ferror(file_) != 0;
    const bool close_failed = std::fclose(file_) != 0;
    file_ = nullptr;
    if (write_failed || close_failed) {
        throw std::runtime_error("write_csv: failed to write output file: " + path_);
    }
}

void write_csv(const std::string& path, const std::vector<double>& time_points,
               const std::vector<std::vector<double>>& solution,
               const std::vector<std::string>& node_names) {
    if (solution.size() != time_points.size()) {
        throw std::runtime_error("write_csv: time_points and solution row count mismatch");
    }
    for (const auto& row : solution) {
        if (row.size() != node_names.size()) {
            throw std::runtime_error("write_csv: solution row width does not match node_names");
        }
    }
    CsvStreamWriter writer(path, node_names);
    for (std::size_t i = 0; i < time_points.size(); ++i) writer.write_row(time_points[i], solution[i]);
    writer.finish();
}

void write_row_map_csv(const std::string& path, const std::vector<PopulationMetadata>& records) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("write_row_map_csv: failed to open output file: " + path);

    std::vector<std::reference_wrapper<const PopulationMetadata>> sorted(records.begin(),
                                                                          records.end());
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
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
