// Trace rows written by a thread of their own, so that formatting and
// writing a row overlaps with computing the next ones.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "io/csv_writer.hpp"

namespace vesk {

class BackgroundRowWriter {
  public:
    // Passes rows on to `writer` (which must outlive this object) from a
    // thread started here, through `slots` row buffers of the writer's
    // width, allocated here once.
    explicit BackgroundRowWriter(CsvStreamWriter& writer, std::size_t slots = 4);
    // Writes out the rows still queued and stops the thread; also when a
    // run ends by an exception, so every row handed over reaches the file.
    ~BackgroundRowWriter();
    BackgroundRowWriter(const BackgroundRowWriter&) = delete;
    BackgroundRowWriter& operator=(const BackgroundRowWriter&) = delete;

    // Queues a copy of the row, waiting while every buffer is taken. Throws
    // what CsvStreamWriter::write_row throws for a row of the wrong width,
    // at once and queuing nothing.
    void write_row(double t, const std::vector<double>& values);

    // Waits until every queued row has been passed to the writer and stops
    // the thread; the writer's own finish() then reports write failures.
    void close();

  private:
    struct Row {
        double t = 0.0;
        std::vector<double> values;
    };

    void drain();
    void stop();

    CsvStreamWriter& writer_;
    std::vector<Row> rows_;
    std::mutex mutex_;
    std::condition_variable row_queued_;
    std::condition_variable row_written_;
    std::size_t first_ = 0;   // oldest queued row
    std::size_t queued_ = 0;  // rows waiting for the thread
    bool closing_ = false;
    std::exception_ptr failure_;  // what the thread's write threw, if anything
    std::thread thread_;
};

}  // namespace vesk
