#include "server/update_builder.h"

#include <algorithm>
#include <cmath>

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
        audible_.push_back({&p, &link->second});
        cell_m_ = std::max(cell_m_, p.range_m);
    }
    // Horizontal cells as wide as the longest range: a height difference
    // only lengthens a distance, so the 9 cells around a listener hold
    // everyone who can reach them.
    for (uint32_t i = 0; i < audible_.size(); ++i) {
        const Player& p = *audible_[i].player;
        grid_[cell_key(cell_of(p.x), cell_of(p.y))].push_back(i);
    }
}

UpdateBuilder::UpdateBuilder(const FalloffCurve& curve) : curve_(curve) {
    std::copy_n("UPDATE2", 7, text_.data());
}

size_t UpdateBuilder::line_for(const Player* listener, std::string* out) {
    out->assign("UPDATE2");
    if (!listener) return 0;
    candidates_.clear();
    const int64_t cx = cell_of(listener->x), cy = cell_of(listener->y);
    for (int64_t dx = -1; dx <= 1; ++dx) {
        for (int64_t dy = -1; dy <= 1; ++dy) {
            auto cell = grid_.find(cell_key(cx + dx, cy + dy));
            if (cell == grid_.end()) continue;
            for (uint32_t i : cell->second) {
                const Player& s = *audible_[i].player;
                if (&s == listener) continue;
                // Squared distances choose and order the speakers; the root
                // is taken only for those that make the line.
                const double ex = s.x - listener->x, ey = s.y - listener->y, ez = s.z - listener->z;
                const double d2 = ex * ex + ey * ey + ez * ez;
                if (d2 <= s.range_m * s.range_m) candidates_.push_back({d2, i});
            }
        }
    }
    std::sort(candidates_.begin(), candidates_.end(), [&](const Candidate& a, const Candidate& b) {
        if (a.distance_sq != b.distance_sq) return a.distance_sq < b.distance_sq;
        return *audible_[a.audible].client_id < *audible_[b.audible].client_id;
    });

    // The line is written into a buffer of the longest line's size, then
    // handed over in one copy.
    char* p = text_.data() + 7;
    char* const last = text_.data() + text_.size();
    size_t listed = 0;
    for (const Candidate& c : candidates_) {
        const Player& s = *audible_[c.audible].player;
        const std::string& id = *audible_[c.audible].client_id;
        char numbers[16];
        char* end = numbers;
        *end++ = ' ';
        end = write_level(end, gain_at(std::sqrt(c.distance_sq), s.range_m, curve_));
        *end++ = ' ';
        end = write_level(end, pan_of(s.x - listener->x, s.y - listener->y, listener->cos_yaw, listener->sin_yaw));
        const size_t item = (listed ? 2 : 1) + id.size() + static_cast<size_t>(end - numbers);
        if (listed == kMaxSpeakersPerUpdate || item > static_cast<size_t>(last - p)) break;
        if (listed) *p++ = ',';
        *p++ = ' ';
        p = std::copy(id.begin(), id.end(), p);
        p = std::copy(numbers, end, p);
        ++listed;
    }
    out->assign(text_.data(), p);
    return candidates_.size() - listed;
}

}  // namespace server
