// The text form of a position: the board in seat 0's frame, one "x" on a seat colour per cell.
#include <string>

#include "game/rules.hpp"

namespace game {

namespace {

constexpr std::size_t LINE_WIDTH = 103;
constexpr const char* SEAT_COLOURS[NUM_AGENTS] = {"[44m", "[43m", "[41m", "[42m"};

void append_label(std::string& text, std::size_t n) {
    if (n < 10) text += ' ';
    text += std::to_string(n);
}

}  // namespace

std::string board_text(const TableView& seat0) {
    const std::string separator(LINE_WIDTH, '-');
    std::string text;
    text.reserve(8192);

    text += "  | ";
    for (std::size_t c = 0; c < BOARD_SIZE; ++c) {
        if (c != 0) text += " | ";
        append_label(text, c);
    }
    text += " |\n" + separator + "\n";
    append_label(text, 0);

    for (std::size_t r = 0; r < BOARD_SIZE; ++r) {
        for (std::size_t c = 0; c < BOARD_SIZE; ++c) {
            std::size_t seat = 0;
            while (seat < NUM_AGENTS && !seat0.board(seat).get(cell_index(r, c))) ++seat;
            if (seat == NUM_AGENTS) {
                text += "|  . ";
            } else {
                text += "|  \x1b";
                text += SEAT_COLOURS[seat];
                text += "x\x1b[0m ";
            }
        }
        text += "|";
        if (r + 1 < BOARD_SIZE) {
            text += "\n" + separator + "\n";
            append_label(text, r + 1);
        }
    }
    return text;
}

}  // namespace game
