#include <gtest/gtest.h>

#include <QImage>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/gui/icons.h"

namespace orvane {
namespace {

// How many pixels are drawn (not transparent) and how many distinct colours:
// an unreadable or missing picture renders fully transparent.
struct TInk {
  int Drawn = 0;
  size_t Colours = 0;
};

TInk InkOf(const QPixmap& APixmap) {
  const QImage Image = APixmap.toImage().convertToFormat(QImage::Format_ARGB32);
  TInk Result;
  std::set<QRgb> Colours;
  for (int Y = 0; Y < Image.height(); ++Y) {
    for (int X = 0; X < Image.width(); ++X) {
      const QRgb Pixel = Image.pixel(X, Y);
      if (qAlpha(Pixel) > 0) {
        ++Result.Drawn;
        Colours.insert(Pixel);
      }
    }
  }
  Result.Colours = Colours.size();
  return Result;
}

TEST(TIcons, EveryPictureRendersAtItsSize) {
  struct TCase {
    std::string Name;
    int Size;
    std::function<QPixmap(int)> Draw;
  };
  auto State = [](TStateImage AImage) { return [AImage](int ASize) { return StateImage(AImage, ASize); }; };
  auto Action = [](TActionIcon AIcon) {
    return [AIcon](int ASize) { return ActionIcon(AIcon).pixmap(ASize, ASize); };
  };
  auto StateAsIcon = [](TStateImage AImage) {
    return [AImage](int ASize) { return StateIcon(AImage).pixmap(ASize, ASize); };
  };
  const std::vector<TCase> CASES = {
      {"state port working", 24, State(TStateImage::PortWorking)},
      {"state port down", 24, State(TStateImage::PortDown)},
      {"state all working", 24, State(TStateImage::AllWorking)},
      {"state some down", 24, State(TStateImage::SomeDown)},
      {"state icon some down", 16, StateAsIcon(TStateImage::SomeDown)},
      {"add port", 32, Action(TActionIcon::AddPort)},
      {"delete port", 32, Action(TActionIcon::DeletePort)},
      {"edit port", 32, Action(TActionIcon::EditPort)},
      {"clear", 24, Action(TActionIcon::Clear)},
      {"stop", 24, Action(TActionIcon::Stop)},
      {"follow last", 24, Action(TActionIcon::FollowLast)},
      {"program", 32, [](int ASize) { return ProgramIcon().pixmap(ASize, ASize); }},
      {"tray blink 0", 32, [](int ASize) { return TrayBlinkIcon(0).pixmap(ASize, ASize); }},
      {"tray blink 1", 32, [](int ASize) { return TrayBlinkIcon(1).pixmap(ASize, ASize); }},
  };
  for (const auto& Case : CASES) {
    const QPixmap Pixmap = Case.Draw(Case.Size);
    EXPECT_EQ(Pixmap.size(), QSize(Case.Size, Case.Size)) << Case.Name;
    const TInk Ink = InkOf(Pixmap);
    // A real drawing covers a good part of the square and has a figure on a ground.
    EXPECT_GT(Ink.Drawn, Case.Size * Case.Size / 5) << Case.Name;
    EXPECT_GE(Ink.Colours, 2u) << Case.Name;
  }
}

// The state images must tell working from not working at a glance, and the
// two tray phases must differ or the tray would not blink.
TEST(TIcons, PicturesThatMustDifferDiffer) {
  const std::vector<std::pair<QImage, QImage>> PAIRS = {
      {StateImage(TStateImage::PortWorking).toImage(), StateImage(TStateImage::PortDown).toImage()},
      {StateImage(TStateImage::AllWorking).toImage(), StateImage(TStateImage::SomeDown).toImage()},
      {TrayBlinkIcon(0).pixmap(32, 32).toImage(), TrayBlinkIcon(1).pixmap(32, 32).toImage()},
      {TrayBlinkIcon(0).pixmap(32, 32).toImage(), ProgramIcon().pixmap(32, 32).toImage()},
  };
  for (size_t I = 0; I < PAIRS.size(); ++I) {
    EXPECT_NE(PAIRS[I].first, PAIRS[I].second) << "pair " << I;
  }
}

}  // namespace
}  // namespace orvane
