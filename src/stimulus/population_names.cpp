#include "stimulus/population_names.hpp"

#include <array>
#include <string_view>

namespace vesk {
namespace {

struct WordClass {
    std::string_view long_name;
    std::string_view short_code;
};

constexpr std::array<WordClass, 9> word_classes{{
    {"Adjective", "Adj"},
    {"Adverb", "Adv"},
    {"Clause", "C"},
    {"Coordinator", "Co"},
    {"Determiner", "Det"},
    {"Noun", "N"},
    {"Preposition", "P"},
    {"Pronoun", "Pr"},
    {"Verb", "V"},
}};

constexpr std::array<std::string_view, 11> sg_names{
    "SG1Verb",    "SG2Subject", "SG3Object", "SG4Det",    "SG5Compl", "SG6Mod",
    "SG7Adjunct", "SG8PC",      "SG9Ex_Mod", "SG10Coord", "SG11GAP",
};

std::unordered_map<std::string, std::string> build_command_targets() {
    std::unordered_map<std::string, std::string> table;
    auto add = [&table](std::string command, std::string population) {
        table.insert_or_assign(std::move(command), std::move(population));
    };
    add("Word_inhib", "EX0a_inhib_W_all");
    // Commands spell the word class out, populations use its short code.
    for (const auto& wc : word_classes) {
        const std::string l(wc.long_name);
        const std::string s(wc.short_code);
        add(l, "EX2_Bgate_W_" + s);
        add(l + "_H", "EX3H_Gate_" + s + "_H");
        add(l + "_D", "EX3D_Gate_" + s + "_D");
        add("CMtoW_" + l + "_H", "EX8H_LMA_out_" + s + "_H");
        add("CMtoW_" + l + "_D", "EX8D_LMA_out_" + s + "_D");
        add(l + "_inhib", "EX0_inhib_" + s);
    }
    for (const auto& name : sg_names) {
        const std::string g(name);
        add("binding_" + g + "_H", "EX4H_Bgate_LMA_" + g + "_H");
        add("binding_" + g + "_D", "EX4D_Bgate_LMA_" + g + "_D");
        add(g + "_H", "EX6H_Gate_" + g + "_CM_H");
        add(g + "_D", "EX6D_Gate_" + g + "_CM_D");
        add(g + "_W_H", "EX5H_Gate_" + g + "_W_H");
        add(g + "_W_D", "EX5D_Gate_" + g + "_W_D");
        add("inhibcomp_" + g + "_H", "EX7H_SG_comp_inhib_" + g + "_H");
        add("inhibcomp_" + g + "_D", "EX7D_SG_comp_inhib_" + g + "_D");
    }
    return table;
}

}  // namespace

const std::unordered_map<std::string, std::string> command_targets = build_command_targets();

}  // namespace vesk
