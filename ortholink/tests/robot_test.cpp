#include <gtest/gtest.h>

#include <cmath>

#include "ortholink/fk.hpp"
#include "ortholink/robot.hpp"

namespace ortholink {
namespace {

TEST(Robot, CatalogueDimensions) {
    const Crx r = Crx::from_model(CrxModel::Crx30iA);
    EXPECT_EQ(r.z1, 950.0);
    EXPECT_EQ(r.x1, 750.0);
    EXPECT_EQ(r.x2, 180.0);
    EXPECT_EQ(r.y1, 185.0);
    EXPECT_EQ(Crx::new_3ia(), Crx::from_params(280, 280, 123, 111));
    EXPECT_EQ(Crx::new_5ia(), Crx::from_params(410, 430, 145, 130));
}

TEST(Robot, LongReachModelsShareDimensions) {
    EXPECT_EQ(Crx::from_model(CrxModel::Crx10iAL), Crx::from_model(CrxModel::Crx20iAL));
    EXPECT_EQ(Crx::new_10ia_l(), Crx::from_model(CrxModel::Crx20iAL));
}

TEST(Robot, ParameterOrderIsZ1X1X2Y1) {
    EXPECT_EQ(Crx::from_params(540, 540, 160, 150), Crx::new_10ia());
    EXPECT_FALSE(Crx::from_params(150, 540, 160, 540) == Crx::new_10ia());
}

TEST(Robot, AxesCarryNegativeZeros) {
    const Crx r = Crx::new_10ia();
    EXPECT_EQ(r.axes[2][1], -1.0);
    EXPECT_TRUE(std::signbit(r.axes[2][0]));
    EXPECT_TRUE(std::signbit(r.axes[5][2]));
    EXPECT_FALSE(std::signbit(r.axes[0][0]));
}

TEST(Robot, DegenerateDimensionsAreStoredAndUsed) {
    const Crx r = Crx::from_params(0, -100, 0, -5);
    EXPECT_EQ(r.x1, -100.0);
    const Pose p = fk(r, JointVector{});
    EXPECT_EQ(p.t, (Vec3{-100, 5, 0}));
}

TEST(Robot, ModelNamesAndCodes) {
    EXPECT_EQ(model_name(CrxModel::Crx10iAL), "Crx10iAL");
    CrxModel m{};
    EXPECT_TRUE(model_from_code(5, m));
    EXPECT_EQ(m, CrxModel::Crx30iA);
    EXPECT_FALSE(model_from_code(6, m));
    EXPECT_FALSE(model_from_code(-1, m));
}

}  // namespace
}  // namespace ortholink
