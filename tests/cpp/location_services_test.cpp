// The pure mappings of the location services: accuracy levels, GeoClue fixes
// and Nominatim placemarks.
#include <cmath>

#include <gtest/gtest.h>

#include "platform/services/geocoder.hpp"
#include "platform/services/location_manager.hpp"

using namespace quendal::services;

TEST(LocationServices, AccuracyLevelBoundariesAreInclusive)
{
    EXPECT_EQ(accuracyLevelForMetres(0.1), AccuracyLevel::Exact);
    EXPECT_EQ(accuracyLevelForMetres(100), AccuracyLevel::Exact);
    EXPECT_EQ(accuracyLevelForMetres(100.01), AccuracyLevel::Street);
    EXPECT_EQ(accuracyLevelForMetres(1000), AccuracyLevel::Street);
    EXPECT_EQ(accuracyLevelForMetres(25000), AccuracyLevel::City);
    EXPECT_EQ(accuracyLevelForMetres(25000.5), AccuracyLevel::Country);
}

namespace {

GVariant* locationProperties(double accuracy, double altitude, double speed, double heading)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&builder, "{sv}", "Latitude", g_variant_new_double(-33.5));
    g_variant_builder_add(&builder, "{sv}", "Longitude", g_variant_new_double(151.25));
    g_variant_builder_add(&builder, "{sv}", "Accuracy", g_variant_new_double(accuracy));
    g_variant_builder_add(&builder, "{sv}", "Altitude", g_variant_new_double(altitude));
    g_variant_builder_add(&builder, "{sv}", "Speed", g_variant_new_double(speed));
    g_variant_builder_add(&builder, "{sv}", "Heading", g_variant_new_double(heading));
    g_variant_builder_add(&builder, "{sv}", "Timestamp",
                          g_variant_new("(tt)", static_cast<guint64>(1700000000), static_cast<guint64>(250000)));
    return g_variant_ref_sink(g_variant_builder_end(&builder));
}

}  // namespace

TEST(LocationServices, FixFromGeoClueProperties)
{
    GVariant* known = locationProperties(8, 120.5, 0, 0);
    const LocationFix fix = locationFixFromProperties(known);
    g_variant_unref(known);
    EXPECT_EQ(fix.latitude, -33.5);
    EXPECT_EQ(fix.longitude, 151.25);
    EXPECT_EQ(fix.horizontalAccuracy, 8);
    EXPECT_EQ(fix.altitude, 120.5);
    EXPECT_EQ(fix.verticalAccuracy, 8);
    EXPECT_EQ(fix.speed, 0);  // standing still is a known speed
    EXPECT_EQ(fix.course, 0);
    EXPECT_DOUBLE_EQ(fix.timestamp, 1700000000.25);
}

TEST(LocationServices, UnknownGeoClueValuesAreEmpty)
{
    GVariant* unknown = locationProperties(8, -G_MAXDOUBLE, -1, -1);
    const LocationFix fix = locationFixFromProperties(unknown);
    g_variant_unref(unknown);
    EXPECT_FALSE(fix.altitude);
    EXPECT_FALSE(fix.verticalAccuracy);
    EXPECT_FALSE(fix.speed);
    EXPECT_FALSE(fix.course);

    GVariant* invalid = locationProperties(NAN, 12, 1, 1);
    const LocationFix bad = locationFixFromProperties(invalid);
    g_variant_unref(invalid);
    EXPECT_LT(bad.horizontalAccuracy, 0);  // skipped as an invalid fix
    EXPECT_FALSE(bad.altitude);             // no accuracy to lend it
    EXPECT_FALSE(bad.verticalAccuracy);
}

TEST(LocationServices, PlacemarkFieldsFromNominatim)
{
    const auto numbers = placemarkFromNominatim(nlohmann::json{{"lat", 1.5}, {"lon", "-2.25"}});
    EXPECT_EQ(numbers.latitude, 1.5);
    EXPECT_EQ(numbers.longitude, -2.25);
    const auto junk = placemarkFromNominatim(nlohmann::json{{"lat", "1.5x"}, {"lon", ""}, {"address", "Paris"}});
    EXPECT_FALSE(junk.latitude);
    EXPECT_FALSE(junk.longitude);
    EXPECT_FALSE(junk.city);
    const auto town = placemarkFromNominatim(
        nlohmann::json{{"address", {{"town", "Ely"}, {"village", "Queen Adelaide"}, {"country_code", "gb"}}}});
    EXPECT_EQ(town.city, "Ely");
    EXPECT_EQ(town.countryCode, "GB");
}
