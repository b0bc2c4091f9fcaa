// Z escape, through a stage of the driver module.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "RegistryTestSupport.h"

namespace stgtest {
namespace {

using ::testing::ElementsAre;
using Position = utl::TUnitValue<double>;

// X (1), Y (2) and Z (3), all 1 µm per tick, limits 0..10,000 µm.
class ZEscape : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::vector<stg::tAxisProps> axes{XAxis(1), YAxis(2), ZAxis(3)};
        for (auto& props : axes)
            props.calibration = Position(1.0, utl::c_mum);
        stage = std::make_unique<CModuleStage>(FullDriver(axes));
        ASSERT_TRUE(stage->Bring());
        id = stage->id;
        for (int axis : {1, 2, 3})
            ASSERT_EQ(stg::SetAxisLimits(id, axis, Position(0, utl::c_mum), Position(10, utl::c_mm)), stg::c_OK);
    }
    void TearDown() override { stg::ResetEscapeCounter(id); }

    std::int64_t Z() const { return stage->Driver().Positions().at(3); }
    void PlaceZ(std::int64_t ticks) const { stage->Driver().SetPositions({{3, ticks}}); }
    // The Z targets of the moves made since the last call.
    std::vector<std::int64_t> ZMoves()
    {
        std::vector<std::int64_t> targets;
        const auto moves = stage->Driver().Moves();
        for (std::size_t i = m_seenMoves; i < moves.size(); ++i)
            targets.push_back(moves[i].at(3));
        m_seenMoves = moves.size();
        return targets;
    }

    std::unique_ptr<CModuleStage> stage;
    std::uint32_t id = 0;

private:
    std::size_t m_seenMoves = 0;
};

TEST_F(ZEscape, DistanceIsTheRoomBelowAtMost3000um)
{
    struct tCase {
        std::int64_t startUm;
        std::int64_t escapedUm;
    } cases[] = {{500, 0}, {5000, 2000}, {3000, 0}, {3001, 1}};
    for (const auto& c : cases) {
        PlaceZ(c.startUm);
        ZMoves();
        EXPECT_EQ(stg::EscapeZ(id, true), stg::c_OK);
        EXPECT_EQ(Z(), c.escapedUm) << c.startUm;
        EXPECT_EQ(stg::EscapeZ(id, false), stg::c_OK);
        EXPECT_EQ(Z(), c.startUm);
        EXPECT_EQ(ZMoves().size(), 2u); // one move each way
    }

    // The return stops 10 µm below the maximum.
    PlaceZ(9000);
    EXPECT_EQ(stg::EscapeZ(id, true), stg::c_OK);
    PlaceZ(8500); // moved up by hand meanwhile
    EXPECT_EQ(stg::EscapeZ(id, false), stg::c_OK);
    EXPECT_EQ(Z(), 9990);
}

TEST_F(ZEscape, EscapesNestAndOnlyTheOuterPairMoves)
{
    PlaceZ(4000);
    ZMoves();
    EXPECT_FALSE(stg::IsEscapedZ(id));
    EXPECT_EQ(stg::EscapeZ(id, false), stg::c_NoEscapeToReturn);
    EXPECT_EQ(stg::EscapeZ(id, true), stg::c_OK);
    EXPECT_EQ(stg::EscapeZ(id, true), stg::c_EscapeCounted);
    EXPECT_TRUE(stg::IsEscapedZ(id));
    EXPECT_EQ(stg::EscapeZ(id, false), stg::c_EscapeCounted);
    EXPECT_TRUE(stg::IsEscapedZ(id));
    EXPECT_EQ(stg::EscapeZ(id, false), stg::c_OK);
    EXPECT_FALSE(stg::IsEscapedZ(id));
    EXPECT_THAT(ZMoves(), ElementsAre(1000, 4000));
}

TEST_F(ZEscape, RefusalsChangeNothing)
{
    EXPECT_EQ(stg::EscapeZ(UniqueStageID(), true), stg::c_NoSuchStage);

    PlaceZ(4000);
    ZMoves();
    ASSERT_EQ(stg::SetProperty(id, stg::eAxisZ, stg::c_propAllowEscape, false), stg::c_OK);
    EXPECT_FALSE(stg::IsEscapeEnabled(id));
    EXPECT_EQ(stg::EscapeZ(id, true), stg::c_OK); // nothing to do on such a stage
    EXPECT_FALSE(stg::IsEscapedZ(id));
    stg::SetProperty(id, stg::eAxisZ, stg::c_propAllowEscape, true);

    stg::EnableAxis(id, stg::eAxisZ, false);
    EXPECT_EQ(stg::EscapeZ(id, true), stg::c_AxisDisabled);
    stg::EnableAxis(id, stg::eAxisZ, true);
    stg::UndefineLimits(id, stg::eAxisZ);
    EXPECT_EQ(stg::EscapeZ(id, true), stg::c_LimitsNotDefined);
    EXPECT_TRUE(ZMoves().empty());
    EXPECT_FALSE(stg::IsEscapedZ(id));
}

} // namespace
} // namespace stgtest
