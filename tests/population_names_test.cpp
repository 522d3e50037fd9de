#include "stimulus/population_names.hpp"

#include <set>
#include <string>

#include "test_support.hpp"

namespace vesk {
namespace {

TEST(PopulationNames, LooksUpOneEntryOfEveryPattern) {
    const struct {
        const char* command;
        const char* population;
    } cases[] = {
        {"Word_inhib", "EX0a_inhib_W_all"},
        {"Noun", "EX2_Bgate_W_N"},
        {"Adjective", "EX2_Bgate_W_Adj"},
        {"Verb_H", "EX3H_Gate_V_H"},
        {"Determiner_D", "EX3D_Gate_Det_D"},
        {"CMtoW_Adverb_H", "EX8H_LMA_out_Adv_H"},
        {"CMtoW_Pronoun_D", "EX8D_LMA_out_Pr_D"},
        {"Clause_inhib", "EX0_inhib_C"},
        {"Coordinator_inhib", "EX0_inhib_Co"},
        {"Preposition_H", "EX3H_Gate_P_H"},
        {"binding_SG8PC_H", "EX4H_Bgate_LMA_SG8PC_H"},
        {"binding_SG2Subject_D", "EX4D_Bgate_LMA_SG2Subject_D"},
        {"SG1Verb_H", "EX6H_Gate_SG1Verb_CM_H"},
        {"SG9Ex_Mod_D", "EX6D_Gate_SG9Ex_Mod_CM_D"},
        {"SG1Verb_W_H", "EX5H_Gate_SG1Verb_W_H"},
        {"SG10Coord_W_D", "EX5D_Gate_SG10Coord_W_D"},
        {"inhibcomp_SG11GAP_H", "EX7H_SG_comp_inhib_SG11GAP_H"},
        {"inhibcomp_SG3Object_D", "EX7D_SG_comp_inhib_SG3Object_D"},
    };
    for (const auto& c : cases) {
        const auto it = command_targets.find(c.command);
        ASSERT_NE(it, command_targets.end()) << c.command;
        EXPECT_EQ(it->second, c.population) << c.command;
    }
}

TEST(PopulationNames, RejectsNamesOutsideTheTable) {
    for (const char* name : {"noun", "SG1Verb", "Word", "CMtoW_N_H", "binding_Noun_H", "Noun ", "",
                             "format", "fixed_time", "Num_of_words"}) {
        EXPECT_EQ(command_targets.count(name), 0u) << "'" << name << "'";
    }
}

TEST(PopulationNames, HasUniqueCommandsAndPopulations) {
    EXPECT_EQ(command_targets.size(), 143u);
    std::set<std::string> commands;
    std::set<std::string> populations;
    for (const auto& [command, population] : command_targets) {
        commands.insert(command);
        populations.insert(population);
    }
    EXPECT_EQ(commands.size(), 143u);
    EXPECT_EQ(populations.size(), 143u);
}

}  // namespace
}  // namespace vesk
