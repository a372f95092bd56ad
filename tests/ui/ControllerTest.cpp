// Construction of the controller: image verification and the first log
// lines, and the enabling rule.
#include "UiSupport.h"

#include "core/Sha256.h"
#include "ui/EnablingRule.h"
#include "ui/MakerController.h"

#include <QComboBox>
#include <QMainWindow>
#include <QPushButton>

#include <gtest/gtest.h>

namespace sarnovelle {
namespace {

using test::TempDir;

const std::string mismatchLine =
    "The embedded image does not match this app's expected SHA-256. Making a USB is disabled.";
const std::string noDiskLine = "No USB disk found. Insert a USB stick and click Refresh.";

std::string imageLine(std::size_t bytes, const std::string& digest)
{
    return "Image: product image, " + std::to_string(bytes) + " bytes, SHA-256 " + digest;
}

std::string lowerCase(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

TEST(ControllerConstruction, GoodBundleVerifiesWithoutMismatchLine)
{
    TempDir dir;
    const Bytes image = test::sampleImage();
    const std::string digest = sha256Hex(image);
    MakerController controller(test::writeBundle(dir, image, digest), test::noDisksEnv(dir));

    EXPECT_TRUE(controller.imageOk());
    EXPECT_EQ(controller.image(), image);
    EXPECT_EQ(controller.imageHash(), digest);
    EXPECT_EQ(test::logMessages(controller),
              (std::vector<std::string>{imageLine(image.size(), digest), noDiskLine}));
}

TEST(ControllerConstruction, MissingImageLogsZeroBytesAndEmptyDigest)
{
    TempDir dir;
    Bundle bundle = test::writeBundle(dir, test::sampleImage(), sha256Hex(test::sampleImage()));
    std::filesystem::remove(bundle.image);
    MakerController controller(bundle, test::noDisksEnv(dir));

    EXPECT_FALSE(controller.imageOk());
    EXPECT_TRUE(controller.image().empty());
    EXPECT_TRUE(controller.imageHash().empty());
    // Nothing after "SHA-256 " but the final blank.
    EXPECT_EQ(test::logMessages(controller),
              (std::vector<std::string>{"Image: product image, 0 bytes, SHA-256 ", mismatchLine, noDiskLine}));
}

TEST(ControllerConstruction, UnreadableImageCountsAsMissing)
{
    TempDir dir;
    Bundle bundle = test::writeBundle(dir, test::sampleImage(), sha256Hex(test::sampleImage()));
    std::filesystem::remove(bundle.image);
    std::filesystem::create_directories(bundle.image); // a folder where the file should be
    MakerController controller(bundle, test::noDisksEnv(dir));

    EXPECT_FALSE(controller.imageOk());
    EXPECT_TRUE(controller.imageHash().empty());
    EXPECT_EQ(test::logMessages(controller).at(0), "Image: product image, 0 bytes, SHA-256 ");
}

TEST(ControllerConstruction, EmptyImageFileHasTheDigestOfNothing)
{
    TempDir dir;
    const std::string emptyDigest = sha256Hex(Bytes{});
    MakerController controller(test::writeBundle(dir, Bytes{}, emptyDigest), test::noDisksEnv(dir));

    EXPECT_TRUE(controller.imageOk());
    EXPECT_EQ(test::logMessages(controller).at(0), imageLine(0, emptyDigest));
}

// Each expected digest differs from the image's only in form; the
// comparison is exact, so each one disables making a stick.
TEST(ControllerConstruction, ExpectedDigestMustMatchExactly)
{
    const Bytes image = test::sampleImage();
    const std::string digest = sha256Hex(image);
    const std::vector<std::optional<std::string>> rejected = {
        lowerCase(digest), digest + "\n", digest + " ", " " + digest, std::string(), std::nullopt,
        digest.substr(0, 63) + (digest.back() == '0' ? "1" : "0"),
    };
    for (const auto& expected : rejected) {
        SCOPED_TRACE(expected ? "expected \"" + *expected + "\"" : "no key");
        TempDir dir;
        MakerController controller(test::writeBundle(dir, image, expected), test::noDisksEnv(dir));
        EXPECT_FALSE(controller.imageOk());
        EXPECT_EQ(controller.imageHash(), digest);
        EXPECT_EQ(test::logMessages(controller),
                  (std::vector<std::string>{imageLine(image.size(), digest), mismatchLine, noDiskLine}));
        EXPECT_FALSE(controller.makeButton()->isEnabled());
        EXPECT_TRUE(controller.refreshButton()->isEnabled());
    }
}

TEST(ControllerConstruction, DigestStoredAsAnotherTypeCountsAsMissing)
{
    TempDir dir;
    const Bytes image = test::sampleImage();
    Bundle bundle = test::writeBundle(dir, image, std::nullopt);
    PlistDict info;
    info.setTextList("SarnovelleImageSHA256", {sha256Hex(image)});
    dir.write("bundle/Info.plist", info.toXml());
    MakerController controller(bundle, test::noDisksEnv(dir));
    EXPECT_FALSE(controller.imageOk());
    EXPECT_EQ(test::logMessages(controller).at(1), mismatchLine);
}

TEST(ControllerConstruction, MissingOrBrokenInfoPlistDisablesMaking)
{
    for (const char* content : {"", "not a property list", "<plist><array/></plist>"}) {
        SCOPED_TRACE(content);
        TempDir dir;
        const Bytes image = test::sampleImage();
        Bundle bundle = test::writeBundle(dir, image, sha256Hex(image));
        dir.write("bundle/Info.plist", content);
        MakerController controller(bundle, test::noDisksEnv(dir));
        EXPECT_FALSE(controller.imageOk());
        EXPECT_EQ(test::logMessages(controller).at(1), mismatchLine);
    }
}

TEST(ControllerConstruction, WindowShowsTitleAndControls)
{
    TempDir dir;
    const Bytes image = test::sampleImage();
    MakerController controller(test::writeBundle(dir, image, sha256Hex(image)), test::noDisksEnv(dir));
    EXPECT_TRUE(controller.window()->isVisible());
    EXPECT_EQ(controller.window()->windowTitle(), QStringLiteral("Tessamir Sarnovelle USB Maker"));
    EXPECT_EQ(controller.refreshButton()->text(), QStringLiteral("Refresh"));
    EXPECT_EQ(controller.makeButton()->text(), QStringLiteral("Make USB"));
    EXPECT_EQ(controller.diskPopup()->count(), 0);
    EXPECT_EQ(controller.diskPopup()->currentIndex(), -1);
}

TEST(EnablingRule, EveryCombinationOfBusyImageAndDisks)
{
    for (const bool busy : {false, true}) {
        for (const bool imageOk : {false, true}) {
            for (const bool haveDisks : {false, true}) {
                SCOPED_TRACE(testing::Message() << "busy " << busy << ", imageOk " << imageOk << ", disks "
                                                << haveDisks);
                const ControlStates states = enablingRule(busy, imageOk, haveDisks);
                EXPECT_EQ(states.diskPopup, !busy);
                EXPECT_EQ(states.refreshButton, !busy);
                EXPECT_EQ(states.makeButton, !busy && imageOk && haveDisks);
            }
        }
    }
}

} // namespace
} // namespace sarnovelle
