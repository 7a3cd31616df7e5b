#include "characterize/photon_transfer.h"

#include <gtest/gtest.h>

#include <vector>

#include "shared/errors.h"

namespace tuning::characterize {
namespace {

CurvePoint point(double signal, double variance) {
  CurvePoint p;
  p.signal = signal;
  p.temporal_variance = variance;
  p.pixels = 1000;
  p.samples = 4000;
  return p;
}

CurveContext context() {
  CurveContext c;
  c.dark_temporal_variance = 10.0;
  c.clip_signal = 1000.0;
  c.where = "LCG at analog gain 1, cell position 0";
  return c;
}

// Variance 10 + 0.5 signal up to 600 DN, then clipping thins it: the peak is
// the saturation, the fit keeps to 70 % of it, and the clipped points (at the
// white level, or with less than half the dark noise) stay out.
TEST(PhotonTransfer, SaturationIsThePeakAndTheFitStopsAtSeventyPercentOfIt) {
  std::vector<CurvePoint> points;
  for (double s : {600.0, 50.0, 100.0, 200.0, 300.0, 400.0, 450.0}) points.push_back(point(s, 10 + 0.5 * s));
  points.push_back(point(700, 150));
  points.push_back(point(800, 4));
  points.push_back(point(1000, 40));
  const PhotonTransfer ptc = analyse_photon_transfer(points, context());
  ASSERT_EQ(ptc.curve.size(), 10u);
  EXPECT_DOUBLE_EQ(ptc.curve.front().signal, 50.0) << "sorted by signal";
  EXPECT_TRUE(ptc.saturation_found);
  EXPECT_DOUBLE_EQ(ptc.saturation_signal, 600.0);
  EXPECT_EQ(ptc.levels, 5);  // 50 .. 400: 450 > 0.7 x 600
  EXPECT_DOUBLE_EQ(ptc.span, 8.0);
  EXPECT_NEAR(ptc.fit.slope, 0.5, 1e-12);
  EXPECT_NEAR(ptc.fit.intercept, 10.0, 1e-9);
  EXPECT_NEAR(ptc.fit.r_squared, 1.0, 1e-12);
  EXPECT_FALSE(ptc.curve[7].clipped);
  EXPECT_TRUE(ptc.curve[8].clipped) << "less than half the dark variance";
  EXPECT_TRUE(ptc.curve[9].clipped) << "at the white level";
  for (const QualityFlag& f : ptc.flags) EXPECT_TRUE(f.passed) << f.warning;
}

// The brightest variance sits on a point below the dark level: nothing lies
// before it, and the curve still gets a fit from what is above the dark level.
TEST(PhotonTransfer, APeakBelowTheDarkLevelLeavesTheLevelsAboveIt) {
  const PhotonTransfer ptc = analyse_photon_transfer({point(-5, 100), point(50, 20), point(80, 30)}, context());
  EXPECT_EQ(ptc.levels, 2);
  EXPECT_FALSE(ptc.flags.front().passed);
  EXPECT_THROW(analyse_photon_transfer({point(-5, 100), point(0, 20)}, context()), CalibrationError);
}

}  // namespace
}  // namespace tuning::characterize
