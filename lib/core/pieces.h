// Text in memory read piece by piece, as the readers of parameter and mask
// files read it: a line with its line end, or a limited number of its
// characters.
#ifndef PELKARO_PIECES_H
#define PELKARO_PIECES_H

#include <cstddef>
#include <string>

namespace pk {

// Reads the next piece of a text in memory, [pos, end): the characters of a
// line up to and including its line feed, at most `limit` characters.  A
// carriage return directly before a line feed is dropped first, so CRLF and
// LF files read alike.  The piece is stored in `piece` (cleared first) and
// `pos` advanced past it.  Returns false at the end of the text (nothing
// read).  `cut` is set when the piece stopped at the limit without a line
// end while more of the text follows.
bool next_piece(const char*& pos, const char* end, std::string& piece, std::size_t limit, bool* cut = nullptr);

// Where the next piece of [pos, end) lies, without copying it: its
// characters are [pos, text_end), followed by a line feed when `newline`
// (the piece's line end, written in the text as LF or CR LF); `next` is
// where the piece after it starts.  The piece is the one next_piece reads.
struct PieceSpan {
    const char* text_end;
    const char* next;
    bool newline;
    bool cut;  // stopped at the limit without a line end, more text following
};
PieceSpan piece_at(const char* pos, const char* end, std::size_t limit);

}  // namespace pk

#endif
