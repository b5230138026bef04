// Host-atom records: dense rows, the look-ups, and how a batch of receiver-list lines is taken.
#include <gtest/gtest.h>

#include "registry/hostatoms.h"

#include <map>
#include <string>
#include <vector>

namespace {

class Hostatoms : public ::testing::Test {
protected:
    void TearDown() override { delete_all_hostatoms(); }
    // P Q R S at rows 1 to 4.
    void four() {
        for (Atom a : {P, Q, R, S}) add_hostatom(a, "n", "line", 0);
    }
    std::map<Atom, int> rows() {
        std::map<Atom, int> out;
        for (Hostatom *h = first_hostatom; h; h = h->next) out[h->atom] = h->position;
        return out;
    }
    static constexpr Atom P = 100, Q = 101, R = 102, S = 103, T = 104;
};

}  // namespace

TEST_F(Hostatoms, RowsStayDenseWhateverChangesThemAndKeepTheirFirstTexts) {
    four();
    add_hostatom(T, "t", "t line", 2);          // P T Q R S
    delete_hostatom(Q), delete_hostatom(999);   // P T R S, and one unknown
    move_hostatom(P, 0), move_hostatom(S, 1);   // to the end, then to the top
    EXPECT_EQ(rows(), (std::map<Atom, int>{{S, 1}, {T, 2}, {R, 3}, {P, 4}}));
    EXPECT_EQ(hostatom_count, 4);
    delete_all_hostatoms();
    // Iterating may delete the record at hand.
    four();
    for_all_hostatoms([](Atom a, char *, char *) { delete_hostatom(a); });
    EXPECT_EQ(hostatom_count, 0);

    // A second form of the same display keeps the first texts.
    EXPECT_EQ(add_hostatom(P, "hosta:0", "Ann hosta:0", 0), 0u);
    EXPECT_EQ(add_hostatom(P, "hosta:0", "Ann hosta:0", 0), 1u);
    EXPECT_EQ(add_hostatom(P, "10.0.0.1:0", "Other 10.0.0.1:0", 0), P);
    EXPECT_EQ(hostatom_count, 1);
    char *name, *alias;
    EXPECT_EQ(find_hostatom_names(P, &name, &alias), 1);
    EXPECT_EQ(std::string(name) + "/" + alias, "hosta:0/Ann hosta:0");
    EXPECT_EQ(find_hostatom_names(0, &name, &alias), 0);
}

TEST_F(Hostatoms, ABatchOfLinesIsTakenAsAddingItsLinesOneAfterAnotherWould) {
    add_hostatom(P, "h:1.0", "Listed h:1.0", 0);
    const std::vector<std::string> lines = {"Alpha h:2.0", "Listed Again h:1.0", "Listed h:1.0", "Beta h:3.0",
                                            "Alpha Again h:2.0", "Beta h:3.0", "Nowhere x:0.0", "Unknown y:0.0",
                                            "NoDisplay", "Trailing "};
    RowAdmission got = admit_alias_lines(lines, {Q, P, P, R, Q, R, 0, static_cast<Atom>(-1), S, T});
    // Of two lines for one display the later is kept; a line seen before is the row there is.
    EXPECT_EQ(got.result, (std::vector<unsigned long>{Q, P, 1, 1, 0, 0, 2, 2, 0, 0}));
    EXPECT_EQ(got.added, (std::vector<size_t>{4, 5}));
    EXPECT_EQ(hostatom_count, 1) << "deciding adds nothing";
}
