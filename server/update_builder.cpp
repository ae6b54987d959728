#include "server/update_builder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "server/level_text.h"

namespace server {

uint64_t UpdateBuilder::cell_key(int64_t cx, int64_t cy) {
    return (static_cast<uint64_t>(cx) << 32) ^ (static_cast<uint64_t>(cy) & 0xffffffffu);
}

int64_t UpdateBuilder::cell_of(double v) const { return static_cast<int64_t>(std::floor(v / cell_m_)); }

void UpdateBuilder::prepare(const World& world, const LinkMap& links) {
    audible_.clear();
    // Cells are kept for the next tick, emptied; those the players left
    // behind are dropped once they outnumber the players.
    if (grid_.size() > 4 * world.players.size() + 64) grid_.clear();
    for (auto& [key, cell] : grid_) cell.clear();
    cell_m_ = 1;
    for (const Player& p : world.players) {
        if (!p.alive) continue;
        auto link = links.client_of_player.find(p.id);
        if (link == links.client_of_player.end()) continue;
        audible_.push_back({p.x, p.y, p.z, p.range_m, p.range_m * p.range_m, &p, &link->second});
        cell_m_ = std::max(cell_m_, p.range_m);
    }
    // In client id order, so that a speaker's place here breaks ties of
    // distance the same way in every listener's line.
    std::sort(audible_.begin(), audible_.end(),
              [](const Audible& a, const Audible& b) { return *a.client_id < *b.client_id; });
    // Horizontal cells as wide as the longest range: a height difference
    // only lengthens a distance, so the 9 cells around a listener hold
    // everyone who can reach them.
    for (uint32_t i = 0; i < audible_.size(); ++i)
        grid_[cell_key(cell_of(audible_[i].x), cell_of(audible_[i].y))].push_back(i);
}

size_t UpdateBuilder::line_for(const Player* listener, std::string* out) {
    if (!listener) {
        out->assign("UPDATE2");
        return 0;
    }
    // Each speaker in reach as one integer: the squared distance (as a
    // float, whose bits order as its values do for numbers not below
    // zero) above the speaker's place in audible_, so a plain sort of the
    // integers puts them nearest first, ties in client id order.
    candidates_.clear();
    const int64_t cx = cell_of(listener->x), cy = cell_of(listener->y);
    for (int64_t dx = -1; dx <= 1; ++dx) {
        for (int64_t dy = -1; dy <= 1; ++dy) {
            auto cell = grid_.find(cell_key(cx + dx, cy + dy));
            if (cell == grid_.end()) continue;
            for (uint32_t i : cell->second) {
                const Audible& s = audible_[i];
                if (s.player == listener) continue;
                const double ex = s.x - listener->x, ey = s.y - listener->y, ez = s.z - listener->z;
                const double d2 = ex * ex + ey * ey + ez * ez;
                if (!(d2 <= s.range_sq)) continue;
                const float d2f = static_cast<float>(d2);
                uint32_t bits;
                std::memcpy(&bits, &d2f, sizeof bits);
                candidates_.push_back(static_cast<uint64_t>(bits) << 32 | i);
            }
        }
    }
    std::sort(candidates_.begin(), candidates_.end());

    // Written in place: out is made the longest line's size (only what it
    // did not hold before is filled), then cut to what was written.
    out->resize(kMaxLineChars);
    char* const first = out->data();
    char* p = std::copy_n("UPDATE2", 7, first);
    char* const last = first + kMaxLineChars;
    size_t listed = 0;
    for (const uint64_t c : candidates_) {
        const Audible& s = audible_[static_cast<uint32_t>(c)];
        const std::string& id = *s.client_id;
        const double ex = s.x - listener->x, ey = s.y - listener->y, ez = s.z - listener->z;
        char numbers[16];
        char* end = numbers;
        *end++ = ' ';
        end = write_level(end, gain_at(std::sqrt(ex * ex + ey * ey + ez * ez), s.range_m, curve_));
        *end++ = ' ';
        end = write_level(end, pan_of(ex, ey, listener->cos_yaw, listener->sin_yaw));
        const size_t item = (listed ? 2 : 1) + id.size() + static_cast<size_t>(end - numbers);
        if (listed == kMaxSpeakersPerUpdate || item > static_cast<size_t>(last - p)) break;
        if (listed) *p++ = ',';
        *p++ = ' ';
        p = std::copy(id.begin(), id.end(), p);
        p = std::copy(numbers, end, p);
        ++listed;
    }
    out->resize(static_cast<size_t>(p - first));
    return candidates_.size() - listed;
}

}  // namespace server
