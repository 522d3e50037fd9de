#include "diagnostics/finding.hpp"

namespace vesk {

void FindingLog::add(Severity severity, std::string place, std::string message, std::string kind) {
    ++(severity == Severity::error ? errors_ : warnings_);
    if (severity == Severity::error) error_texts_.insert(message);
    auto [it, inserted] = per_kind_.try_emplace(kind, 0, 0);
    if (inserted) kind_order_.push_back(kind);
    auto& [seen, kept] = it->second;
    ++seen;
    if (limit_ != 0 && kept >= limit_) return;
    ++kept;
    kept_.push_back({severity, std::move(place), std::move(message), std::move(kind)});
}

std::vector<std::pair<std::string, std::size_t>> FindingLog::left_out() const {
    std::vector<std::pair<std::string, std::size_t>> result;
    for (const std::string& kind : kind_order_) {
        const auto& [seen, kept] = per_kind_.at(kind);
        if (seen > kept) result.emplace_back(kind, seen - kept);
    }
    return result;
}

}  // namespace vesk
