// The CSV outputs: streamed trace files (time plus one value per column)
// and the row map of population metadata.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "model/network.hpp"

namespace vesk {

// A trace file written row by row through its own 4 MiB fully-buffered
// stdio stream. Numbers are written as printf "%g" would write them.
class CsvStreamWriter {
  public:
    // Opens (truncating) `path` and writes the header "time_ms,<name>,...".
    // Throws std::runtime_error when the file cannot be opened.
    CsvStreamWriter(const std::string& path, const std::vector<std::string>& node_names);
    // Closes the file, writing out what is buffered; failures are not
    // reported here (call finish() to have them reported).
    ~CsvStreamWriter();
    CsvStreamWriter(const CsvStreamWriter&) = delete;
    CsvStreamWriter& operator=(const CsvStreamWriter&) = delete;

    // Appends "t,v0,v1,...". Throws std::runtime_error (writing nothing)
    // when the number of values differs from the number of column names.
    void write_row(double t, const std::vector<double>& values);

    // Number of value columns (the time column not counted).
    std::size_t column_count() const { return column_count_; }
    // Throws what write_row throws for a row of `width` values that does
    // not fit the columns.
    void check_row_width(std::size_t width) const;

    // Hands the buffered text to the operating system.
    void flush();

    // Flushes and closes the file; throws std::runtime_error if any write,
    // the flush or the close failed (a full disk, an I/O error, a file-size
    // limit), so that a short file never passes for a complete one.
    void finish();

  private:
    // Passes the formatted text of the chunk to the stream.
    void hand_over_chunk();

    std::unique_ptr<char[]> buffer_;  // the stream's 4 MiB buffer
    std::FILE* file_ = nullptr;
    std::size_t column_count_ = 0;
    std::string path_;
    std::unique_ptr<char[]> chunk_;  // rows formatted here, then fwritten in one piece
    std::size_t chunk_used_ = 0;
};

// Writes "row_index,pop_id,pop_typ,con_typ,circ_id,h_row,d_row,mat_id" and
// one line per record, ordered by row_index, records with equal row_index in
// their given order. A text holding a comma, a double quote or a line break
// is quoted CSV-style so it stays one field. Throws std::runtime_error when
// the file cannot be opened or written.
void write_row_map_csv(const std::string& path, const std::vector<PopulationMetadata>& records);

// The printf "%g" text of v into out (at least 32 bytes); returns its length.
std::size_t format_g(double v, char* out);

}  // namespace vesk
