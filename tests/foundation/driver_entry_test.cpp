#include <gtest/gtest.h>

#include <set>

#include "frontend/frontend.h"

namespace {

// Engine entries that identify themselves by their slot.
template <int N>
void EngineEntry() {}

template <int... I>
void FillEngineTable(DRVENABLEDATA* t, std::integer_sequence<int, I...>) {
  ((t->pfn[I] = &EngineEntry<I>), ...);
}

template <int N>
void Callback() {}

template <int... I>
void FillCallbacks(ENGCALLBACKS* t, std::integer_sequence<int, I...>) {
  ((t->pfn[I] = &Callback<I + 100>), ...);
}

TEST(DrvEnableDriver, HooksTwelveEntriesAndKeepsTheRest) {
  DRVENABLEDATA table;
  DRVENABLEDATA original;
  ENGCALLBACKS callbacks;
  FillEngineTable(&table, std::make_integer_sequence<int, DRV_ENTRY_COUNT>());
  original = table;
  FillCallbacks(&callbacks, std::make_integer_sequence<int, ENG_CALLBACK_COUNT>());

  EXPECT_TRUE(DrvEnableDriver(0x00020000, sizeof table, &table, &callbacks));

  const std::set<int> replaced = {0, 1, 2, 3, 11, 14, 17, 22, 23, 24, 25, 30};
  for (int i = 0; i < DRV_ENTRY_COUNT; ++i) {
    EXPECT_EQ(g_savedDrvFns[i], original.pfn[i]) << "saved entry " << i;
    if (replaced.count(i)) {
      EXPECT_NE(table.pfn[i], original.pfn[i]) << "entry " << i;
    } else {
      EXPECT_EQ(table.pfn[i], original.pfn[i]) << "entry " << i;
    }
  }
  EXPECT_EQ(table.pfn[INDEX_DrvEnablePDEV], reinterpret_cast<PFN>(&DrvEnablePDEV));
  EXPECT_EQ(table.pfn[INDEX_DrvCopyBits], reinterpret_cast<PFN>(&DrvCopyBits));
  EXPECT_EQ(table.pfn[INDEX_DrvStartPage], reinterpret_cast<PFN>(&DrvStartPage));
  EXPECT_EQ(reinterpret_cast<PFN>(g_pfnCreateSurface), callbacks.pfn[INDEX_EngCreateDeviceSurface]);
  EXPECT_EQ(reinterpret_cast<PFN>(g_pfnDeleteSurface), callbacks.pfn[INDEX_EngDeleteSurface]);
  EXPECT_EQ(reinterpret_cast<PFN>(g_pfnCreatePalette), callbacks.pfn[INDEX_EngCreatePalette]);

  // The hooked palette entry refuses every palette; the power entry does nothing.
  auto setPalette = reinterpret_cast<PFN_DrvSetPalette>(table.pfn[INDEX_DrvSetPalette]);
  EXPECT_FALSE(setPalette(nullptr, nullptr, 0, 0, 256));
  reinterpret_cast<PFN_DrvPowerHandler>(table.pfn[INDEX_DrvPowerHandler])(nullptr, TRUE);
  reinterpret_cast<void (*)()>(table.pfn[INDEX_DrvReserved30])();
}

TEST(DrvEnableDriver, SecondCallTakesTheNewTableAndCallbacks) {
  DRVENABLEDATA first;
  DRVENABLEDATA second;
  ENGCALLBACKS cb1;
  ENGCALLBACKS cb2;
  FillEngineTable(&first, std::make_integer_sequence<int, DRV_ENTRY_COUNT>());
  FillCallbacks(&cb1, std::make_integer_sequence<int, ENG_CALLBACK_COUNT>());
  ASSERT_TRUE(DrvEnableDriver(0, sizeof first, &first, &cb1));

  for (int i = 0; i < DRV_ENTRY_COUNT; ++i) second.pfn[i] = reinterpret_cast<PFN>(&EngineEntry<999>);
  for (int i = 0; i < ENG_CALLBACK_COUNT; ++i) cb2.pfn[i] = reinterpret_cast<PFN>(&Callback<999>);
  ASSERT_TRUE(DrvEnableDriver(0, sizeof second, &second, &cb2));
  for (int i = 0; i < DRV_ENTRY_COUNT; ++i) EXPECT_EQ(g_savedDrvFns[i], reinterpret_cast<PFN>(&EngineEntry<999>));
  EXPECT_EQ(reinterpret_cast<PFN>(g_pfnCreateSurface), reinterpret_cast<PFN>(&Callback<999>));
  EXPECT_EQ(reinterpret_cast<PFN>(g_pfnDeleteSurface), reinterpret_cast<PFN>(&Callback<999>));
  EXPECT_EQ(reinterpret_cast<PFN>(g_pfnCreatePalette), reinterpret_cast<PFN>(&Callback<999>));
}

TEST(StubExports, ReturnOneWhateverTheArguments) {
  for (auto fn : {&DrvAdvPageSetupDlg, &GetPrinterStatus, &ResetPrinter, &StopPortMonitor, &UpdatePrinterStatus}) {
    EXPECT_EQ(fn(), 1u);
  }
}

}  // namespace
