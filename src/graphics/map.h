// Map projections behind a map x axis (!X.TYPE 2): DATA coordinates are longitude and
// latitude in degrees, projected onto the plane of the map (u, v, in units of the sphere's
// radius) before the axis scaling S turns them into NORMAL coordinates. !MAP chooses the
// projection and its centre; its working fields hold the results.
//
// !MAP fields as used here: PROJECTION 1..18 (below); PHIOC the centre longitude; P0LAT the
// centre latitude; SINO, COSO its sine and cosine (written by every projection); SINR,
// COSR the sine and cosine of a rotation of the map plane (both 0: none); SAT[0], SAT[1]
// the standard parallels of the conic projections (both 0: 30 and 60 degrees on the side
// of the centre) and SAT[0] the distance of the viewpoint of the satellite view in
// sphere radii (at most 1: 6.62, a geostationary orbit); OUT[0], OUT[1] the last u, v.
//
// Projections: 1 stereographic, 2 orthographic, 3 Lambert conformal conic, 4 Lambert
// azimuthal equal-area, 5 gnomonic, 6 azimuthal equidistant, 7 satellite (vertical
// perspective), 8 cylindrical equidistant, 9 Mercator, 10 Mollweide, 11 sinusoidal,
// 12 Aitoff, 13 Hammer, 14 Albers equal-area conic, 15 transverse Mercator, 16 Miller
// cylindrical, 17 Robinson, 18 equidistant conic.
#pragma once

#include "graphics/device.h"

// Projects in.x, in.y (longitude, latitude) to out.x, out.y (u, v); z is copied. 0 when
// the point is not on the map (behind the globe, at a pole that goes to infinity); the
// point is still produced. Error -321 for a projection outside 1..18.
int map_coord(const GPoint& in, GPoint& out);
// The longitude and latitude of map point (x, y), in place; 0 when no point of the globe
// projects there.
int map_coord_inverse(float& x, float& y);

// A DATA segment on a map projected to NORMAL through the axes of attr. 0: nothing of it
// is on the map. 1: the segment is a-b. 2: it crosses the map's edge: first[0]-first[1] is
// the piece from p0 to the edge, a-b the rest from the other side of the edge to p1.
int convert_map_vector(const GPoint& p0, const GPoint& p1, GPoint& a, GPoint& b, GPoint first[2],
                       const GraphAttr& attr);
