#include "server/update_builder.h"

#include <algorithm>
#include <cmath>

#include "common/decimal.h"
#include "common/fields.h"

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
                const double d = std::sqrt((s.x - listener->x) * (s.x - listener->x) +
                                           (s.y - listener->y) * (s.y - listener->y) +
                                           (s.z - listener->z) * (s.z - listener->z));
                if (d <= s.range_m) candidates_.push_back({d, i});
            }
        }
    }
    std::sort(candidates_.begin(), candidates_.end(), [&](const Candidate& a, const Candidate& b) {
        if (a.distance != b.distance) return a.distance < b.distance;
        return *audible_[a.audible].client_id < *audible_[b.audible].client_id;
    });

    size_t listed = 0;
    for (const Candidate& c : candidates_) {
        const Player& s = *audible_[c.audible].player;
        const std::string& id = *audible_[c.audible].client_id;
        char numbers[64];
        char* end = numbers;
        *end++ = ' ';
        end = format_fixed(end, numbers + sizeof numbers, gain_at(c.distance, s.range_m, curve_), 3);
        *end++ = ' ';
        end = format_fixed(end, numbers + sizeof numbers,
                           pan_of(s.x - listener->x, s.y - listener->y, listener->cos_yaw, listener->sin_yaw), 3);
        const size_t item = (listed ? 2 : 1) + id.size() + static_cast<size_t>(end - numbers);
        if (listed == kMaxSpeakersPerUpdate || out->size() + item > kMaxLineChars) break;
        out->append(listed ? ", " : " ");
        out->append(id);
        out->append(numbers, end);
        ++listed;
    }
    return candidates_.size() - listed;
}

}  // namespace server
