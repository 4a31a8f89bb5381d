// Truth tables: rows of an input and the answer a function must give for it, checked in one test
// that names the input of each row that fails. Comments between rows say what a group shows.
//
//     TestSupport::expect_table<std::string, bool>(
//         {
//             {"/usr/local/tarvok/bin/noshell", true},
//             {"/bin/bash", false},
//         },
//         is_restricted_shell);
#pragma once

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace TestSupport {

template <class In, class Out>
using Table = std::vector<std::pair<In, Out>>;

/// Expects `answer(input) == expected` for every row.
template <class In, class Out, class Answer>
void expect_table(const Table<In, Out>& rows, Answer&& answer) {
    for (const auto& [input, expected] : rows) {
        EXPECT_EQ(answer(input), expected) << "for " << ::testing::PrintToString(input);
    }
}

}  // namespace TestSupport
