#include "pieces.h"

#include <cstring>

namespace pk {

PieceSpan piece_at(const char* pos, const char* end, std::size_t limit) {
    // A piece holds at most `limit` characters, a CR LF counting as one (the
    // LF).  Its line end is the first LF among its first `limit` characters,
    // or at position `limit` right after a CR.
    const std::size_t avail = static_cast<std::size_t>(end - pos);
    const std::size_t span = avail < limit ? avail : limit;
    const std::size_t look = avail > limit ? limit + 1 : avail;
    const void* found = look > 0 ? std::memchr(pos, '\n', look) : nullptr;
    if (found) {
        const char* lf = static_cast<const char*>(found);
        const bool cr = lf > pos && lf[-1] == '\r';
        if (static_cast<std::size_t>(lf - pos) < limit || cr) return {cr ? lf - 1 : lf, lf + 1, true, false};
    }
    return {pos + span, pos + span, false, span >= limit && span < avail};
}

bool next_piece(const char*& pos, const char* end, std::string& piece, std::size_t limit, bool* cut) {
    piece.clear();
    if (cut) *cut = false;
    if (pos >= end || limit == 0) return false;
    const PieceSpan s = piece_at(pos, end, limit);
    piece.assign(pos, s.text_end);
    if (s.newline) piece.push_back('\n');
    if (cut) *cut = s.cut;
    pos = s.next;
    return true;
}

}  // namespace pk
