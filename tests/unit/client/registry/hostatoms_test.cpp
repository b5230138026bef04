// Host-atom records: dense rows through add, delete and move, and the look-ups.
#include <gtest/gtest.h>

#include "registry/hostatoms.h"

#include <map>

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

TEST_F(Hostatoms, RowsStayDense) {
    four();
    add_hostatom(T, "t", "t line", 2);
    EXPECT_EQ(rows(), (std::map<Atom, int>{{P, 1}, {T, 2}, {Q, 3}, {R, 4}, {S, 5}}));
    delete_all_hostatoms();

    four();
    delete_hostatom(Q);
    EXPECT_EQ(rows(), (std::map<Atom, int>{{P, 1}, {R, 2}, {S, 3}}));
    EXPECT_EQ(hostatom_count, 3);
    delete_hostatom(999);
    EXPECT_EQ(hostatom_count, 3);
    delete_all_hostatoms();

    four();
    move_hostatom(S, 1);
    EXPECT_EQ(rows(), (std::map<Atom, int>{{S, 1}, {P, 2}, {Q, 3}, {R, 4}}));
    delete_all_hostatoms();

    four();
    move_hostatom(P, 0);
    EXPECT_EQ(rows(), (std::map<Atom, int>{{Q, 1}, {R, 2}, {S, 3}, {P, 4}}));
    move_hostatom(Q, 1);
    EXPECT_EQ(rows(), (std::map<Atom, int>{{Q, 1}, {R, 2}, {S, 3}, {P, 4}}));
}

TEST_F(Hostatoms, SecondFormOfTheSameDisplayKeepsTheFirstTexts) {
    EXPECT_EQ(add_hostatom(P, "hosta:0", "Ann hosta:0", 0), 0u);
    EXPECT_EQ(add_hostatom(P, "hosta:0", "Ann hosta:0", 0), 1u);
    EXPECT_EQ(add_hostatom(P, "10.0.0.1:0", "Other 10.0.0.1:0", 0), P);
    EXPECT_EQ(hostatom_count, 1);
    char *name, *alias;
    EXPECT_EQ(find_hostatom_names(P, &name, &alias), 1);
    EXPECT_STREQ(name, "hosta:0");
    EXPECT_STREQ(alias, "Ann hosta:0");
    EXPECT_EQ(find_hostatom_names(0, &name, &alias), 0);
    EXPECT_STREQ(name, "Unknown");
    EXPECT_STREQ(alias, "Unknown");
}

TEST_F(Hostatoms, WidgetAndRowLookups) {
    four();
    Widget w = nullptr;
    int row = -1;
    EXPECT_EQ(find_hostatom_widget(P, &w, &row), 1);
    EXPECT_EQ(row, 0);
    EXPECT_EQ(w, nullptr);
    EXPECT_EQ(find_hostatom_widget(T, &w, &row), 0);
    EXPECT_EQ(set_hostatom_widget(T, nullptr), 0);
    int seen = 0;
    // Iterating may delete the record at hand.
    for_all_hostatoms([](Atom a, char *, char *) { delete_hostatom(a); });
    for (Hostatom *h = first_hostatom; h; h = h->next) ++seen;
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(hostatom_count, 0);
}
