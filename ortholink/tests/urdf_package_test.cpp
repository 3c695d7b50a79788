#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

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
    // Every visual has its colour; collisions have none.
    EXPECT_EQ(count(text, "<material name=\"crx_white\"><color rgba="), 6u);
    EXPECT_EQ(count(text, "<material name=\"crx_flange\"><color rgba="), 1u);
    EXPECT_EQ(count(text, "</geometry>\n      <material"), 7u);
}

TEST(UrdfPackage, ModelsWithoutMeshesAndPlainRobotsGetTextOnly) {
    for (const Arm& arm : {Arm::from_model(CrxModel::Crx30iA), Arm::from_robot(Crx::new_5ia())}) {
        const auto files = urdf_package(arm, default_urdf_name(arm));
        ASSERT_EQ(files.size(), 1u);
        const std::string text(files[0].bytes.begin(), files[0].bytes.end());
        EXPECT_EQ(text.find("<visual>"), std::string::npos);
        EXPECT_EQ(text.find("<mesh"), std::string::npos);
        // What collision geometry there is comes from the envelopes, as named primitives.
        EXPECT_EQ(count(text, "<collision"), count(text, "<collision name=\""));
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

// The text without every named collision element.
std::string without_primitives(std::string text) {
    for (auto at = text.find("    <collision name="); at != std::string::npos; at = text.find("    <collision name=")) {
        const std::string end = "</collision>\n";
        text.erase(at, text.find(end, at) + end.size() - at);
    }
    // A link left with nothing in it is written as an empty element.
    for (auto at = text.find("\">\n  </link>\n"); at != std::string::npos; at = text.find("\">\n  </link>\n")) {
        text.replace(at, 13, "\"/>\n");
    }
    return text;
}

TEST(UrdfText, EnvelopesAndToolSolidsAreAddedAsNamedPrimitives) {
    Arm arm = Arm::from_model(CrxModel::Crx10iA);
    arm.tool = Pose{Quat{}, Vec3{0, 0, 150}};
    for (LinkEnvelope& envelope : arm.envelopes) envelope.capsules.clear();
    arm.envelopes[0].capsules = {Capsule{{0, 0, -100}, {0, 0, -200}, 90}};
    arm.envelopes[3].capsules = {Capsule{{10, 20, 30}, {10, 20, 30}, 50}, Capsule{{0, 0, 0}, {0, 0, -80}, 40}};
    arm.tool_geometry.spheres = {Sphere{{0, 0, 120}, 25}};
    arm.tool_geometry.boxes = {Box{Pose{Quat{}, {0, 0, 60}}, {40, 50, 120}}};
    UrdfMeshFiles files;
    files.paths[0] = "meshes/base.stl";
    const std::string text = urdf_text(arm, "a", files);

    // Nothing else changes: without the primitives, the text is that of the arm without solids.
    Arm bare = arm;
    bare.envelopes = {};
    bare.tool_geometry = {};
    EXPECT_EQ(without_primitives(text), urdf_text(bare, "a", files));
    EXPECT_EQ(count(text, "<collision name="), 3u + 1u + 3u + 2u);

    // The base's envelope is in the base frame, 245 mm above base_link; a capsule along -z
    // is a cylinder turned half a turn, between its two end spheres.
    const auto base = text.find("<link name=\"base_link\">");
    const auto capsule = text.find("<collision name=\"base_link.capsules[0]\">", base);
    ASSERT_NE(capsule, std::string::npos) << text;
    EXPECT_LT(text.find("<mesh filename=\"meshes/base.stl\"", base), capsule);  // the mesh stays first
    EXPECT_EQ(text.find("<collision name=\"base_link.capsules[0]\">\n      <origin xyz=\"0 0 0.095\" rpy=\"3.14159", base),
              capsule)
        << text.substr(capsule, 200);
    EXPECT_NE(text.find("<cylinder radius=\"0.09\" length=\"0.1\"/>", capsule), std::string::npos);
    EXPECT_NE(text.find("<collision name=\"base_link.capsules[0].b\">\n      <origin xyz=\"0 0 0.045\" rpy=\"0 0 0\"/>"),
              std::string::npos);
    // A capsule whose ends coincide is one sphere.
    EXPECT_NE(text.find("<collision name=\"link_3.capsules[0]\">\n      <origin xyz=\"0.01 0.02 0.03\" rpy=\"0 0 0\"/>\n"
                        "      <geometry><sphere radius=\"0.05\"/></geometry>"),
              std::string::npos);
    EXPECT_EQ(text.find("link_3.capsules[0].a"), std::string::npos);
    // The tool's solids are on the flange, in the flange frame.
    const auto flange = text.find("<link name=\"flange\">");
    ASSERT_NE(flange, std::string::npos);
    EXPECT_GT(text.find("<collision name=\"tool.spheres[0]\">\n      <origin xyz=\"0 0 0.12\""), flange);
    EXPECT_GT(text.find("<box size=\"0.04 0.05 0.12\"/>"), flange);
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

// A fresh folder for one test, removed with everything in it afterwards.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& name)
        : path_(std::filesystem::temp_directory_path() /
                ("ortholink-" + name + "-" + std::to_string(static_cast<long>(::getpid())))) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

UrdfFile file_of(std::string path, const std::string& text) {
    return UrdfFile{std::move(path), std::vector<std::uint8_t>(text.begin(), text.end())};
}

TEST(WriteUrdfFiles, CreatesTheFoldersAndReplacesOldFiles) {
    const ScratchFolder scratch("write");
    const std::filesystem::path directory = scratch.path() / "new" / "cell";
    const auto files = urdf_package(Arm::from_model(CrxModel::Crx5iA), "cell");
    write_urdf_files(directory, files);
    for (const UrdfFile& file : files) {
        EXPECT_EQ(read_file(directory / file.path), file.bytes) << file.path;
    }

    // A shorter file of the same name leaves nothing of the longer one.
    const UrdfFile shorter = file_of("cell.urdf", "<robot/>");
    write_urdf_files(directory, std::span(&shorter, 1));
    EXPECT_EQ(read_file(directory / "cell.urdf"), shorter.bytes);

    write_urdf_files(scratch.path() / "nothing", {});
    EXPECT_FALSE(std::filesystem::exists(scratch.path() / "nothing"));
}

TEST(WriteUrdfFiles, FailuresNameThePathAndTheError) {
    const ScratchFolder scratch("write-fail");
    const std::vector<UrdfFile> files{file_of("a.urdf", "a"), file_of("meshes/b.stl", "b")};

    // The folder to create is a file.
    const std::filesystem::path occupied = scratch.path() / "occupied";
    write_urdf_files(scratch.path(), std::vector<UrdfFile>{file_of("occupied", "")});
    try {
        write_urdf_files(occupied, files);
        ADD_FAILURE() << "a file where a folder belongs was written into";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.path1(), occupied);
        EXPECT_NE(error.code().value(), 0);
    }

    // The file to write is a folder: nothing is written, not even the first file.
    const std::filesystem::path directory = scratch.path() / "out";
    std::filesystem::create_directories(directory / "meshes" / "b.stl");
    try {
        write_urdf_files(directory, files);
        ADD_FAILURE() << "a folder was written as a file";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.path1(), directory / "meshes" / "b.stl");
        EXPECT_EQ(error.code().value(), EISDIR);
    }
    EXPECT_FALSE(std::filesystem::exists(directory / "a.urdf"));
    // Nor is anything left of the staging.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), std::filesystem::directory_iterator()), 1);
}

TEST(WriteUrdfFiles, AllOrNothingWhenAFolderIsAFile) {
    const ScratchFolder scratch("write-none");
    const std::filesystem::path directory = scratch.path() / "out";
    const std::vector<UrdfFile> old{file_of("a.urdf", "old"), file_of("meshes", "not a folder")};
    write_urdf_files(directory, old);
    const std::vector<UrdfFile> files{file_of("a.urdf", "new"), file_of("meshes/b.stl", "b")};
    try {
        write_urdf_files(directory, files);
        ADD_FAILURE() << "a file was used as a folder";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.path1(), directory / "meshes");
        EXPECT_EQ(error.code().value(), ENOTDIR);
    }
    EXPECT_EQ(read_file(directory / "a.urdf"), old[0].bytes);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), std::filesystem::directory_iterator()), 2);
}

TEST(WriteUrdfFiles, LinksAreReplacedNeverFollowed) {
    const ScratchFolder scratch("write-links");
    const std::filesystem::path directory = scratch.path() / "out";
    const std::filesystem::path victim = scratch.path() / "victim";
    write_urdf_files(scratch.path(), std::vector<UrdfFile>{file_of("victim", "keep")});
    std::filesystem::create_directories(directory / "meshes");
    std::filesystem::create_symlink(victim, directory / "a.urdf");
    std::filesystem::create_symlink(victim, directory / "meshes" / "b.stl");
    const std::vector<UrdfFile> files{file_of("a.urdf", "a"), file_of("meshes/b.stl", "b")};
    write_urdf_files(directory, files);
    EXPECT_EQ(read_file(victim), file_of("victim", "keep").bytes);
    EXPECT_FALSE(std::filesystem::is_symlink(directory / "a.urdf"));
    EXPECT_EQ(read_file(directory / "a.urdf"), files[0].bytes);
    EXPECT_EQ(read_file(directory / "meshes" / "b.stl"), files[1].bytes);

    // A folder of the package that is a link would put files outside: refused.
    const std::filesystem::path linked = scratch.path() / "linked";
    std::filesystem::create_directories(linked);
    std::filesystem::create_directory_symlink(scratch.path(), linked / "meshes");
    try {
        write_urdf_files(linked, files);
        ADD_FAILURE() << "a linked folder was written into";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.path1(), linked / "meshes");
        EXPECT_EQ(error.code().value(), ELOOP);
    }
    EXPECT_FALSE(std::filesystem::exists(scratch.path() / "b.stl"));
    EXPECT_FALSE(std::filesystem::exists(linked / "a.urdf"));
}

}  // namespace
}  // namespace ortholink
