#include "Turns.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>

namespace {

/// Plays `steps` on a fresh Turns and tells what came of them, one word a step that gives one:
///   'A'..'Z'  a request of that account arrives (its requests are numbered A0, A1, ...)
///   '>'       a worker takes the next request: which one, or "." when none is ready
///   'a'..'z'  that account's request out is done
///   '?' + an account letter: the loop claims the account: "A+" when granted, "A-" when not
///   '=' + an account letter: that account's answer is left to be written out
///   '!'       the pool stops: the turns kept for answers being written out end
std::string play(std::string_view steps) {
    Tvwrapd::Turns turns;
    std::map<char, int> arrived;
    std::string said;
    auto say = [&said](const std::string& word) { said += (said.empty() ? "" : " ") + word; };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const char step = steps[i];
        if (step >= 'A' && step <= 'Z') {
            turns.add({0, static_cast<uid_t>(step), {}, step + std::to_string(arrived[step]++)});
        } else if (step >= 'a' && step <= 'z') {
            turns.done(static_cast<uid_t>(step - 'a' + 'A'));
        } else if (step == '>') {
            say(turns.ready() ? turns.take().request : ".");
        } else if (step == '?') {
            const char account = steps[++i];
            say(account + std::string(turns.claim(static_cast<uid_t>(account)) ? "+" : "-"));
        } else if (step == '=') {
            turns.keep(static_cast<uid_t>(steps[++i]));
        } else if (step == '!') {
            turns.done_kept();
        }
    }
    return said;
}

}  // namespace

TEST(Turns, AccountsAreServedInTurnOneRequestOfEachAtATime) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        // The account just served goes behind those already waiting, however much it has queued.
        {"AAAB>a>>", "A0 B0 A1"},
        {"AAABC>a>>>", "A0 B0 C0 A1"},
        // An account has one request out at a time; its next waits until that one is done.
        {"A>A>>a>", "A0 . . A1"},
        {"AB>>A>ba>", "A0 B0 . A1"},
        // The loop's claim counts as a request out, and is granted only to an idle account.
        {"?AA>a>", "A+ . A0"},
        {"A?A>?A", "A- A0 A-"},
        // An answer left to be written out keeps its turn, until done or the pool stops; the
        // turns of requests still being served end as they are done.
        {"A>=AA>a>", "A0 . A1"},
        {"AB>>AB=A!>>b>", "A0 B0 A1 . B1"},
    };
    for (const auto& [steps, said] : cases) EXPECT_EQ(play(steps), said) << steps;
}
