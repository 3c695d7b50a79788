#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "ortholink/arm.hpp"
#include "ortholink/urdf.hpp"
#include "ortholink/urdf_package.hpp"

namespace ortholink {
namespace {

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The <limit> element of joint_3.
std::string third_limit(const std::string& text) {
    const auto limit = text.find("<limit", text.find("<joint name=\"joint_3\""));
    return text.substr(limit, text.find("/>", limit) - limit);
}

TEST(UrdfPackage, ModelWithMeshesGetsOneStlPerLinkReferencedTwice) {
    const auto files = urdf_package(Arm::from_model(CrxModel::Crx10iA), "cell");
    ASSERT_EQ(files.size(), 8u);
    EXPECT_EQ(files[0].path, "cell.urdf");
    const std::string text(files[0].bytes.begin(), files[0].bytes.end());
    for (std::size_t i = 1; i < files.size(); ++i) {
        EXPECT_EQ(files[i].path.rfind("meshes/cell_", 0), 0u) << files[i].path;
        EXPECT_EQ(count(text, "filename=\"" + files[i].path + "\""), 2u) << files[i].path;  // visual and collision
        EXPECT_GT(files[i].bytes.size(), 84u);
        EXPECT_EQ((files[i].bytes.size() - 84) % 50, 0u);
    }
    EXPECT_EQ(count(text, "type=\"revolute\""), 6u);
    EXPECT_EQ(count(text, "type=\"fixed\""), 4u);  // world, flange, tool0, tcp
    EXPECT_EQ(count(text, "<robot name=\"cell\">"), 1u);
    EXPECT_EQ(text.find("-0 "), std::string::npos);
}

TEST(UrdfPackage, ModelsWithoutMeshesAndPlainRobotsGetTextOnly) {
    for (const Arm& arm : {Arm::from_model(CrxModel::Crx30iA), Arm::from_robot(Crx::new_5ia())}) {
        const auto files = urdf_package(arm, default_urdf_name(arm));
        ASSERT_EQ(files.size(), 1u);
        const std::string text(files[0].bytes.begin(), files[0].bytes.end());
        EXPECT_EQ(text.find("<visual>"), std::string::npos);
        EXPECT_EQ(text.find("<collision>"), std::string::npos);
    }
    EXPECT_EQ(default_urdf_name(Arm::from_model(CrxModel::Crx10iAL)), "crx10ial");
    EXPECT_EQ(default_urdf_name(Arm::from_robot(Crx::new_5ia())), "crx");
}

TEST(UrdfText, ThirdJointLimitIsTheElbowOrTheSumOfJ2AndJ3) {
    Arm arm = Arm::from_robot(Crx::new_10ia());
    arm.lower[1] = -90;
    arm.lower[2] = -45;
    arm.upper[1] = 100;
    arm.upper[2] = 80;
    // -135 .. 180 degrees
    EXPECT_EQ(third_limit(urdf_text(arm, "a", UrdfMeshFiles{})).rfind("<limit lower=\"-2.356194490192345\" upper=\"3.14159", 0),
              0u)
        << third_limit(urdf_text(arm, "a", UrdfMeshFiles{}));
    arm.elbow = ElbowLimit{-10, 200};
    EXPECT_EQ(third_limit(urdf_text(arm, "a", UrdfMeshFiles{})).rfind("<limit lower=\"-0.17453292519943295\" upper=\"3.49065", 0),
              0u)
        << third_limit(urdf_text(arm, "a", UrdfMeshFiles{}));
}

TEST(UrdfText, UnlimitedJointIsContinuous) {
    Arm arm = Arm::from_robot(Crx::new_10ia());
    arm.lower[5] = -std::numeric_limits<double>::infinity();
    const std::string text = urdf_text(arm, "a", UrdfMeshFiles{});
    EXPECT_EQ(count(text, "type=\"continuous\""), 1u);
    EXPECT_EQ(text.find("inf"), std::string::npos);
}

TEST(UrdfText, NamesAndPathsAreEscaped) {
    UrdfMeshFiles files;
    files.paths[3] = "meshes/a&b.stl";
    const std::string text = urdf_text(Arm::from_model(CrxModel::Crx10iA), "x\"<y>&", files);
    EXPECT_NE(text.find("<robot name=\"x&quot;&lt;y&gt;&amp;\">"), std::string::npos);
    EXPECT_NE(text.find("filename=\"meshes/a&amp;b.stl\""), std::string::npos);
}

TEST(UrdfPackage, NamesAreSafeAsFileNames) {
    for (const char* good : {"crx10ia", "cell-7_left.v2", "A", "x1"}) {
        EXPECT_TRUE(valid_urdf_name(good)) << good;
    }
    for (const char* bad : {"", ".x", "-x", "a/b", "..", "a b", "a\"b", "é"}) {
        EXPECT_FALSE(valid_urdf_name(bad)) << bad;
    }
    EXPECT_FALSE(valid_urdf_name(std::string(65, 'a')));
}

}  // namespace
}  // namespace ortholink
