#include "io/background_writer.hpp"

#include <algorithm>

namespace vesk {

BackgroundRowWriter::BackgroundRowWriter(CsvStreamWriter& writer, std::size_t slots)
    : writer_(writer), rows_(std::max<std::size_t>(slots, 1)) {
    for (Row& row : rows_) row.values.resize(writer_.column_count());
    thread_ = std::thread([this] { drain(); });
}

BackgroundRowWriter::~BackgroundRowWriter() {
    stop();
}

void BackgroundRowWriter::write_row(double t, const std::vector<double>& values) {
    writer_.check_row_width(values.size());
    std::unique_lock lock(mutex_);
    row_written_.wait(lock, [this] { return queued_ < rows_.size() || failure_; });
    if (failure_) std::rethrow_exception(failure_);
    // The free buffer is this thread's alone until it is counted as queued.
    Row& row = rows_[(first_ + queued_) % rows_.size()];
    lock.unlock();
    row.t = t;
    std::copy(values.begin(), values.end(), row.values.begin());
    lock.lock();
    ++queued_;
    row_queued_.notify_one();
}

void BackgroundRowWriter::close() {
    stop();
    if (failure_) std::rethrow_exception(failure_);
}

void BackgroundRowWriter::stop() {
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
    }
    row_queued_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void BackgroundRowWriter::drain() {
    std::unique_lock lock(mutex_);
    for (;;) {
        row_queued_.wait(lock, [this] { return queued_ > 0 || closing_; });
        if (queued_ == 0) return;
        // The oldest queued buffer is this thread's alone until released.
        const Row& row = rows_[first_];
        lock.unlock();
        try {
            writer_.write_row(row.t, row.values);
        } catch (...) {
            lock.lock();
            failure_ = std::current_exception();
            row_written_.notify_one();
            return;
        }
        lock.lock();
        first_ = (first_ + 1) % rows_.size();
        --queued_;
        row_written_.notify_one();
    }
}

}  // namespace vesk
