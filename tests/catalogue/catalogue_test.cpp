// The printer catalogue: its lookups, and the agreement with it of what
// describes the printers elsewhere: every PPD the build makes (given on the
// command line) and korvprint's drivers.
#include <cups/ppd.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "catalogue.h"

namespace {

std::vector<std::string> g_ppd_files;

TEST(Lookups, SupportedPrinterTable) {
  EXPECT_TRUE(KORV_IsSupportedVendor(0x2F1C));
  EXPECT_TRUE(KORV_IsSupportedVendor(0x3A07));
  EXPECT_FALSE(KORV_IsSupportedVendor(0x2F1D));
  const KORV_Model *model = KORV_FindModelByProduct(0x0006);
  ASSERT_NE(model, nullptr);
  EXPECT_STREQ(model->protocol, "tr3500ax");
  EXPECT_EQ(model->family, KORV_FAMILY_KELPIN);
  EXPECT_STREQ(model->fallbackProduct, "Korvanix TR3500AX miniprinter");
  EXPECT_EQ(KORV_FindModelByProduct(0x0002), nullptr);
  EXPECT_EQ(KORV_FindModelByProduct(0x0004), nullptr);
  model = KORV_FindModelByProtocol("TR3000AX");
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(model->productId, 0x0001);
  EXPECT_EQ(model->family, KORV_FAMILY_OSTREL);
  EXPECT_EQ(KORV_FindModelByProtocol("tr9999"), nullptr);
  EXPECT_TRUE(KORV_ProductInFamily(0x0005, KORV_FAMILY_KELPIN));
  EXPECT_FALSE(KORV_ProductInFamily(0x0001, KORV_FAMILY_KELPIN));
  EXPECT_TRUE(KORV_ProductInFamily(0x0001, KORV_FAMILY_OSTREL));
  EXPECT_FALSE(KORV_ProductInFamily(0x0002, KORV_FAMILY_OSTREL));
}

// Every model on every paper, by the file name of its PPD.
std::map<std::string, KORV_Variant> variants_by_ppd() {
  std::map<std::string, KORV_Variant> variants;
  for (int m = 0; m < KORV_MODEL_COUNT; ++m)
    for (int p = 0; p < KORV_PAPER_COUNT; ++p) {
      KORV_Variant v;
      EXPECT_EQ(KORV_DescribeVariant(&KORV_MODELS[m], &KORV_PAPERS[p], &v), 0);
      variants[v.ppdFileName] = v;
    }
  return variants;
}

TEST(Agreement, EveryPpdIsAVariantAndSaysWhatTheCatalogueSays) {
  std::map<std::string, KORV_Variant> variants = variants_by_ppd();
  ASSERT_EQ(variants.size(), size_t(KORV_MODEL_COUNT * KORV_PAPER_COUNT));
  ASSERT_EQ(g_ppd_files.size(), variants.size());
  for (const std::string &path : g_ppd_files) {
    SCOPED_TRACE(path);
    std::string file = path.substr(path.rfind('/') + 1);
    auto found = variants.find(file);
    ASSERT_NE(found, variants.end()) << "a PPD of no model on no paper";
    const KORV_Variant v = found->second;
    variants.erase(found);

    ppd_file_t *ppd = ppdOpenFile(path.c_str());
    ASSERT_NE(ppd, nullptr);
    EXPECT_EQ(ppd->model_number, v.ppdModelNumber);
    EXPECT_EQ(KORV_PpdHeadWidth(ppd->model_number), v.paper->headDots);
    EXPECT_STREQ(ppd->pcfilename, v.ppdFileName);
    EXPECT_STREQ(ppd->manufacturer, KORV_MAKE);
    EXPECT_STREQ(ppd->modelname, v.ppdModelName);
    EXPECT_STREQ(ppd->nickname, v.ppdNickName);
    EXPECT_EQ(std::string(ppd->product), std::string("(") + v.model->fallbackProduct + ")");
    ppd_attr_t *device_id = ppdFindAttr(ppd, "1284DeviceID", nullptr);
    ASSERT_NE(device_id, nullptr);
    EXPECT_STREQ(device_id->value, v.model->deviceId);
    // Every page, and the widest custom one, is as wide as the paper.
    ASSERT_GT(ppd->num_sizes, 1);
    for (int i = 0; i < ppd->num_sizes; ++i) {
      if (strcmp(ppd->sizes[i].name, "Custom") == 0)
        continue;
      EXPECT_NEAR(ppd->sizes[i].width * 25.4 / 72, v.paper->widthMm, 0.01) << ppd->sizes[i].name;
    }
    EXPECT_NEAR(ppd->custom_max[0] * 25.4 / 72, v.paper->widthMm, 0.01);
    ppdClose(ppd);
  }
  EXPECT_TRUE(variants.empty()) << "a model on a paper without its PPD, such as "
                                << variants.begin()->first;
}

TEST(Agreement, KorvprintServesEveryVariant) {
  std::string expected;
  for (int m = 0; m < KORV_MODEL_COUNT; ++m)
    for (int p = 0; p < KORV_PAPER_COUNT; ++p) {
      KORV_Variant v;
      ASSERT_EQ(KORV_DescribeVariant(&KORV_MODELS[m], &KORV_PAPERS[p], &v), 0);
      expected += std::string(v.driverName) + " \"" + v.driverDescription + "\" \"" +
                  v.model->deviceId + "\"\n";
    }
  FILE *listing = popen("'" KORV_TEST_APP_PATH "' drivers", "r");
  ASSERT_NE(listing, nullptr);
  std::string drivers;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, listing)) > 0;)
    drivers.append(chunk, n);
  EXPECT_EQ(pclose(listing), 0);
  EXPECT_EQ(drivers, expected);
}

} // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  g_ppd_files.assign(argv + 1, argv + argc);
  return RUN_ALL_TESTS();
}
