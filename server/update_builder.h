// Each tick's lines: for every listener, one UPDATE2 line with every other
// linked, alive player whose voice reaches them, nearest first, each named
// by their client id with the gain and pan the falloff gives. The audible
// players are put in a grid of cells as wide as the longest range, so a
// listener looks at the 9 cells around them, not at everyone.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/fields.h"
#include "server/falloff_math.h"
#include "server/links.h"
#include "server/world.h"

namespace server {

class UpdateBuilder {
public:
    explicit UpdateBuilder(const FalloffCurve& curve) : curve_(curve) {}

    // Takes the world and the links of this tick; both must outlive the
    // line_for calls that follow.
    void prepare(const World& world, const LinkMap& links);

    // The line for a listener, without its line feed: "UPDATE2" alone when
    // listener is null (unlinked, dead or not in the world: everyone
    // silent). A line stays within 8191 characters and 512 speakers: the
    // nearest are kept, and the number of speakers left out is returned.
    size_t line_for(const Player* listener, std::string* out);

private:
    // A linked, alive player of this tick, with what the distances need
    // kept together.
    struct Audible {
        double x, y, z, range_m, range_sq;
        const Player* player;
        const std::string* client_id;
    };
    static uint64_t cell_key(int64_t cx, int64_t cy);
    int64_t cell_of(double v) const;

    FalloffCurve curve_;
    std::vector<Audible> audible_;
    double cell_m_ = 1;
    std::unordered_map<uint64_t, std::vector<uint32_t>> grid_;
    std::vector<uint64_t> candidates_;  // kept between calls: no allocation per listener
};

}  // namespace server
