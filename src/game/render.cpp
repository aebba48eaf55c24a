// The text form of a position: the board in one seat's frame, one cell per five columns, each
// covered cell an "x" on its seat's colour (or, for logs and files, the seat's number).
#include <string>

#include "game/rules.hpp"

namespace game {

namespace {

constexpr std::size_t LINE_WIDTH = 103;

void append_label(std::string& text, std::size_t n) {
    if (n < 10) text += ' ';
    text += std::to_string(n);
}

}  // namespace

std::string board_text(const Owners& owners, bool colour) {
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
            const std::int8_t seat = owners[r * BOARD_SIZE + c];
            text += "|  ";
            if (seat < 0)
                text += ". ";
            else if (colour)
                text.append(SEAT_BACKGROUNDS[static_cast<std::size_t>(seat)]).append("x\x1b[0m ");
            else
                text.append(1, static_cast<char>('0' + seat)).append(" ");
        }
        text += "|";
        if (r + 1 < BOARD_SIZE) {
            text += "\n" + separator + "\n";
            append_label(text, r + 1);
        }
    }
    return text;
}

std::string board_text(const TableView& seat0) {
    // Where boards overlap, which no legal game produces, the lowest seat shows.
    Owners owners;
    for (std::size_t cell = 0; cell < owners.size(); ++cell) {
        std::size_t seat = 0;
        while (seat < NUM_AGENTS &&
               !seat0.board(seat).get(cell_index(cell / BOARD_SIZE, cell % BOARD_SIZE)))
            ++seat;
        owners[cell] = seat == NUM_AGENTS ? -1 : static_cast<std::int8_t>(seat);
    }
    return board_text(owners, true);
}

}  // namespace game
