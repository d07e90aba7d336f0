// Map projections of a map x axis: the forward formulas of the eighteen projections on
// the unit sphere, their inverse by Newton's method on the forward formulas, and the
// projection of segments with their split at the map's edge.
#include "graphics/map.h"

#include <algorithm>
#include <cmath>

#include "base/message.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRad = kPi / 180.0;

// The projection's constants, from !MAP.
struct MapSetup {
  int projection;
  double sin0, cos0;  // centre latitude
  double lat0;        // radians
  double sinr, cosr;  // rotation of the map plane
  bool rotate;
  double n = 0, f = 0, rho0 = 0, c = 0;  // conics
  double p = 0;                          // satellite distance
};

double reduce_degrees(double d) {
  if (!std::isfinite(d) || std::fabs(d) <= 180) return d;
  return std::remainder(d, 360.0);
}

bool wraps_at_edge(int projection) {
  // The azimuthal views are continuous across the antimeridian; all others are cut there.
  return !(projection == 1 || projection == 2 || projection == 4 || projection == 5 || projection == 6 ||
           projection == 7);
}

double mercator_t(double phi) { return std::tan(kPi / 4 + phi / 2); }

MapSetup map_setup() {
  MapSetup s;
  s.projection = map_p.projection;
  if (s.projection < 1 || s.projection > 18) message(M_MAP_PROJECTION, 0, MSG_LONGJMP);
  s.lat0 = map_p.p0lat * kRad;
  s.sin0 = std::sin(s.lat0);
  s.cos0 = std::cos(s.lat0);
  map_p.sino = static_cast<float>(s.sin0);
  map_p.coso = static_cast<float>(s.cos0);
  s.rotate = map_p.sinr != 0 || map_p.cosr != 0;
  s.sinr = s.rotate ? map_p.sinr : 0;
  s.cosr = s.rotate ? map_p.cosr : 1;
  if (s.projection == 3 || s.projection == 14 || s.projection == 18) {
    double d1 = map_p.sat[0], d2 = map_p.sat[1];
    if (d1 == 0 && d2 == 0) {
      d1 = map_p.p0lat < 0 ? -30 : 30;
      d2 = map_p.p0lat < 0 ? -60 : 60;
    }
    double p1 = d1 * kRad, p2 = d2 * kRad;
    bool tangent = std::fabs(p1 - p2) < 1e-9;
    if (s.projection == 3) {
      s.n = tangent ? std::sin(p1)
                    : std::log(std::cos(p1) / std::cos(p2)) / std::log(mercator_t(p2) / mercator_t(p1));
      if (std::fabs(s.n) > 1e-9) {
        s.f = std::cos(p1) * std::pow(mercator_t(p1), s.n) / s.n;
        s.rho0 = s.f / std::pow(mercator_t(s.lat0), s.n);
      }
    } else if (s.projection == 14) {
      s.n = (std::sin(p1) + std::sin(p2)) / 2;
      if (std::fabs(s.n) > 1e-9) {
        s.c = std::cos(p1) * std::cos(p1) + 2 * s.n * std::sin(p1);
        s.rho0 = std::sqrt(std::max(0.0, s.c - 2 * s.n * s.sin0)) / s.n;
      }
    } else {
      s.n = tangent ? std::sin(p1) : (std::cos(p1) - std::cos(p2)) / (p2 - p1);
      if (std::fabs(s.n) > 1e-9) {
        s.c = std::cos(p1) / s.n + p1;
        s.rho0 = s.c - s.lat0;
      }
    }
  }
  if (s.projection == 7) s.p = map_p.sat[0] > 1 ? map_p.sat[0] : 6.62;
  return s;
}

// Robinson's table: length of the parallel and its distance from the equator, every 5 degrees.
constexpr double kRobinson[19][2] = {
    {1.0000, 0.0000}, {0.9986, 0.0620}, {0.9954, 0.1240}, {0.9900, 0.1860}, {0.9822, 0.2480},
    {0.9730, 0.3100}, {0.9600, 0.3720}, {0.9427, 0.4340}, {0.9216, 0.4958}, {0.8962, 0.5571},
    {0.8679, 0.6176}, {0.8350, 0.6769}, {0.7986, 0.7346}, {0.7597, 0.7903}, {0.7186, 0.8435},
    {0.6732, 0.8936}, {0.6213, 0.9394}, {0.5722, 0.9761}, {0.5322, 1.0000}};

// u, v of the point at longitude lam from the centre and latitude phi (radians); false
// when the point is not on the map (u, v are still computed where they exist).
bool forward(const MapSetup& s, double lam, double phi, double& u, double& v) {
  double sp = std::sin(phi), cp = std::cos(phi), sl = std::sin(lam), cl = std::cos(lam);
  double cosc = s.sin0 * sp + s.cos0 * cp * cl;  // cosine of the distance from the centre
  bool ok = true;
  double k = 1;
  switch (s.projection) {
    case 1: case 2: case 4: case 5: case 6: case 7:
      switch (s.projection) {
        case 1:
          ok = cosc > -0.9999;
          k = 2 / std::max(1 + cosc, 1e-12);
          break;
        case 2:
          ok = cosc >= 0;
          break;
        case 4:
          ok = cosc > -1 + 1e-9;
          k = std::sqrt(2 / std::max(1 + cosc, 1e-12));
          break;
        case 5:
          ok = cosc > 1e-3;
          k = 1 / std::max(cosc, 1e-3);
          break;
        case 6: {
          double c = std::acos(std::clamp(cosc, -1.0, 1.0));
          ok = c < kPi - 1e-9;
          k = c < 1e-9 ? 1 : c / std::sin(c);
          break;
        }
        default:
          ok = cosc >= 1 / s.p;
          k = (s.p - 1) / (s.p - cosc);
          break;
      }
      u = k * cp * sl;
      v = k * (s.cos0 * sp - s.sin0 * cp * cl);
      break;
    case 3: case 14: case 18: {
      if (std::fabs(s.n) <= 1e-9) {
        u = v = 0;
        return false;
      }
      double rho;
      if (s.projection == 3) {
        double t = mercator_t(phi);
        ok = s.n > 0 ? t > 1e-9 : t < 1e9;
        rho = s.f / std::pow(std::clamp(t, 1e-9, 1e9), s.n);
      } else if (s.projection == 14) {
        double q = s.c - 2 * s.n * sp;
        ok = q >= 0;
        rho = std::sqrt(std::max(q, 0.0)) / s.n;
      } else {
        rho = s.c - phi;
      }
      u = rho * std::sin(s.n * lam);
      v = s.rho0 - rho * std::cos(s.n * lam);
      break;
    }
    case 8:
      u = lam;
      v = phi;
      break;
    case 9:
      ok = std::fabs(phi) < 89.9 * kRad;
      u = lam;
      v = std::log(mercator_t(std::clamp(phi, -89.9 * kRad, 89.9 * kRad)));
      break;
    case 10: {
      double theta = phi;
      if (std::fabs(phi) < kPi / 2 - 1e-9)
        for (int i = 0; i < 30; i++) {
          double d = (2 * theta + std::sin(2 * theta) - kPi * sp) / (2 + 2 * std::cos(2 * theta));
          theta -= d;
          if (std::fabs(d) < 1e-12) break;
        }
      u = 2 * std::sqrt(2.0) / kPi * lam * std::cos(theta);
      v = std::sqrt(2.0) * std::sin(theta);
      break;
    }
    case 11:
      u = lam * cp;
      v = phi;
      break;
    case 12: {
      double a = std::acos(std::clamp(cp * std::cos(lam / 2), -1.0, 1.0));
      double sinc = a < 1e-9 ? 1 : std::sin(a) / a;
      u = 2 * cp * std::sin(lam / 2) / sinc;
      v = sp / sinc;
      break;
    }
    case 13: {
      double d = std::sqrt(1 + cp * std::cos(lam / 2));
      u = 2 * std::sqrt(2.0) * cp * std::sin(lam / 2) / d;
      v = std::sqrt(2.0) * sp / d;
      break;
    }
    case 15: {
      double b = cp * sl;
      ok = std::fabs(b) < 0.99999;
      b = std::clamp(b, -0.99999, 0.99999);
      u = 0.5 * std::log((1 + b) / (1 - b));
      v = std::atan2(std::tan(std::clamp(phi, -kPi / 2 + 1e-12, kPi / 2 - 1e-12)), cl) - s.lat0;
      break;
    }
    case 16:
      u = lam;
      v = 1.25 * std::log(mercator_t(0.8 * phi));
      break;
    case 17: {
      double deg = std::min(std::fabs(phi) / kRad, 90.0) / 5;
      int i = std::min(static_cast<int>(deg), 17);
      double t = deg - i;
      double x = kRobinson[i][0] + t * (kRobinson[i + 1][0] - kRobinson[i][0]);
      double y = kRobinson[i][1] + t * (kRobinson[i + 1][1] - kRobinson[i][1]);
      u = 0.8487 * x * lam;
      v = 1.3523 * y * (phi < 0 ? -1 : 1);
      break;
    }
    default:
      u = v = 0;
      return false;
  }
  if (!std::isfinite(u) || !std::isfinite(v)) return false;
  if (s.rotate) {
    double ru = u * s.cosr - v * s.sinr, rv = u * s.sinr + v * s.cosr;
    u = ru;
    v = rv;
  }
  return ok;
}

// Newton's method on the forward formulas from a few starting points.
bool inverse(const MapSetup& s, double u, double v, double& lam, double& phi) {
  const double starts[3][2] = {{std::clamp(u, -kPi, kPi), std::clamp(v, -1.5, 1.5)}, {0, s.lat0}, {0, 0}};
  for (const auto& st : starts) {
    double l = st[0], p = st[1];
    for (int it = 0; it < 60; it++) {
      double fu, fv;
      forward(s, l, p, fu, fv);
      double ru = fu - u, rv = fv - v;
      if (std::fabs(ru) < 1e-10 && std::fabs(rv) < 1e-10) break;
      const double h = 1e-7;
      double au, av, bu, bv;
      double lh = l + h > kPi ? l - h : l + h, ph = p + h > kPi / 2 ? p - h : p + h;
      forward(s, lh, p, au, av);
      forward(s, l, ph, bu, bv);
      double j11 = (au - fu) / (lh - l), j21 = (av - fv) / (lh - l);
      double j12 = (bu - fu) / (ph - p), j22 = (bv - fv) / (ph - p);
      double det = j11 * j22 - j12 * j21;
      if (!std::isfinite(det) || std::fabs(det) < 1e-14) break;
      double dl = (j22 * ru - j12 * rv) / det, dp = (j11 * rv - j21 * ru) / det;
      double m = std::max(std::fabs(dl), std::fabs(dp));
      if (m > 0.5) {
        dl *= 0.5 / m;
        dp *= 0.5 / m;
      }
      l = std::clamp(l - dl, -kPi, kPi);
      p = std::clamp(p - dp, -kPi / 2, kPi / 2);
    }
    double fu, fv;
    bool ok = forward(s, l, p, fu, fv);
    if (ok && std::fabs(fu - u) < 1e-6 && std::fabs(fv - v) < 1e-6) {
      lam = l;
      phi = p;
      return true;
    }
  }
  return false;
}

}  // namespace

int map_coord(const GPoint& in, GPoint& out) {
  MapSetup s = map_setup();
  double lam = reduce_degrees(static_cast<double>(in.x) - map_p.phioc) * kRad;
  double u = 0, v = 0;
  bool ok = std::isfinite(in.x) && std::isfinite(in.y) && forward(s, lam, static_cast<double>(in.y) * kRad, u, v);
  out.x = static_cast<float>(u);
  out.y = static_cast<float>(v);
  out.z = in.z;
  map_p.out[0] = out.x;
  map_p.out[1] = out.y;
  return ok ? 1 : 0;
}

int map_coord_inverse(float& x, float& y) {
  MapSetup s = map_setup();
  double u = x, v = y;
  if (s.rotate) {
    double ru = u * s.cosr + v * s.sinr, rv = -u * s.sinr + v * s.cosr;
    u = ru;
    v = rv;
  }
  double lam, phi;
  if (!std::isfinite(u) || !std::isfinite(v) || !inverse(s, u, v, lam, phi)) return 0;
  x = static_cast<float>(lam / kRad + map_p.phioc);
  y = static_cast<float>(phi / kRad);
  return 1;
}

namespace {

// The visible part of a DATA segment (longitudes already continuous from q0 to q1) in
// NORMAL: false when neither end is on the map.
bool visible_piece(const GPoint& q0, const GPoint& q1, GPoint& a, GPoint& b, const GraphAttr& attr) {
  bool ok0 = convert_coord(q0, COORD_DATA, a, COORD_NORMAL, attr) != 0;
  bool ok1 = convert_coord(q1, COORD_DATA, b, COORD_NORMAL, attr) != 0;
  if (ok0 && ok1) return true;
  if (!ok0 && !ok1) return false;
  // Bisection toward the edge from the visible end.
  const GPoint& in = ok0 ? q0 : q1;
  const GPoint& out = ok0 ? q1 : q0;
  double lo = 0, hi = 1;
  GPoint best = ok0 ? a : b;
  for (int i = 0; i < 30; i++) {
    double t = (lo + hi) / 2;
    GPoint m{static_cast<float>(in.x + t * (out.x - in.x)), static_cast<float>(in.y + t * (out.y - in.y)),
             static_cast<float>(in.z + t * (out.z - in.z)), 0};
    GPoint mn;
    if (convert_coord(m, COORD_DATA, mn, COORD_NORMAL, attr)) {
      lo = t;
      best = mn;
    } else {
      hi = t;
    }
  }
  (ok0 ? b : a) = best;
  return true;
}

}  // namespace

int convert_map_vector(const GPoint& p0, const GPoint& p1, GPoint& a, GPoint& b, GPoint first[2],
                       const GraphAttr& attr) {
  MapSetup s = map_setup();
  double d0 = reduce_degrees(static_cast<double>(p0.x) - map_p.phioc);
  double d1 = reduce_degrees(static_cast<double>(p1.x) - map_p.phioc);
  if (!std::isfinite(d0) || !std::isfinite(d1)) return 0;
  const double inside = 1e-4;  // degrees: keeps a point of the edge on its own side
  if (wraps_at_edge(s.projection)) {
    // An end on the edge belongs to the side of the other end; a segment with both ends
    // on the edge stays as given (from one side to the other or along one side).
    bool edge0 = std::fabs(d0) >= 180 - 1e-6, edge1 = std::fabs(d1) >= 180 - 1e-6;
    if (edge0 != edge1) {
      double& d = edge0 ? d0 : d1;
      d = std::copysign(180 - inside, edge0 ? d1 : d0);
      GPoint q0 = p0, q1 = p1;
      (edge0 ? q0 : q1).x = static_cast<float>(map_p.phioc + d);
      if (std::fabs(d1 - d0) <= 180) return visible_piece(q0, q1, a, b, attr) ? 1 : 0;
    }
    if (edge0 && edge1) return visible_piece(p0, p1, a, b, attr) ? 1 : 0;
  }
  if (wraps_at_edge(s.projection) && std::fabs(d1 - d0) > 180) {
    // The short way between the ends crosses the edge opposite the centre.
    double edge = d0 > 0 ? 180 : -180;
    double d1c = d0 > 0 ? d1 + 360 : d1 - 360;
    double t = (edge - d0) / (d1c - d0);
    float lat = static_cast<float>(p0.y + t * (p1.y - p0.y));
    float z = static_cast<float>(p0.z + t * (p1.z - p0.z));
    GPoint e0{static_cast<float>(map_p.phioc + edge - (edge > 0 ? inside : -inside)), lat, z, 0};
    GPoint e1{static_cast<float>(map_p.phioc - edge + (edge > 0 ? inside : -inside)), lat, z, 0};
    bool has_first = visible_piece(p0, e0, first[0], first[1], attr);
    bool has_rest = visible_piece(e1, p1, a, b, attr);
    if (has_first && has_rest) return 2;
    if (has_first) {
      a = first[0];
      b = first[1];
      return 1;
    }
    return has_rest ? 1 : 0;
  }
  GPoint q1 = p1;  // the end taken the short way round, for the bisection
  if (d1 - d0 > 180) q1.x -= 360;
  if (d1 - d0 < -180) q1.x += 360;
  return visible_piece(p0, q1, a, b, attr) ? 1 : 0;
}
