// The viewer's fragment stage. gl_TexCoord[0] is the window position in pixels, origin
// top-left, y down. Picture positions are in pixels too, texel centres at +0.5, row 0 at the
// top (the sky of a panorama).
//
// Spherical modes: the view direction turns by yaw_pitch_mat from the camera's +z axis; the
// longitude atan(x, -z) is 0 at the picture's centre column and grows towards column 0, so
// yaw 0 looks at the centre column, yaw 90 at column width / 4, and a larger yaw (a drag to
// the right) shows columns further left. A larger pitch looks up.

uniform sampler2D texUnit0;
#if __VERSION__ >= 130
// Level 0 of a picture beyond the card's limit: tiles of texSize0, tileColumns to a row.
uniform sampler2DArray texUnit1;
#else
// The right piece of a picture wider than the card takes, texSize0 each.
uniform sampler2D texUnit1;
#endif
uniform vec2 texSize0;
uniform vec2 inSize;
uniform vec2 outSize;
uniform float yaw;
uniform float pitch;
uniform mat3 yaw_pitch_mat;
uniform float zoom;
uniform float exposureOffset;
uniform float luminanceAverage;
// Mip levels of the picture (1: level 0 only); those below tileLevels are tiles.
uniform int levels;
uniform int tileLevels;
uniform float tileColumns;
// The finest level on the card yet, while the levels go up smallest first.
uniform int firstLevel;
// The modes below are uniforms unless the program is built for one of them (the view module
// builds a program for each set it draws): software rasterisers run every branch of a
// uniform's if, so a program for one set is much faster.
// 0 flat, 1 spherical, 2 stereographic.
#ifdef PROJECTION
const int projection = PROJECTION;
#else
uniform int projection;
#endif
// 8-bit display values rather than radiance.
#ifdef LDR_INPUT
const int ldrInput = LDR_INPUT;
#else
uniform int ldrInput;
#endif
// 0 Reinhard, 1 ACES filmic, 2 AgX, 3 PBR Neutral: the curve while luminanceAverage > 0.
#ifdef TONE_OPERATOR
const int toneOperator = TONE_OPERATOR;
#else
uniform int toneOperator;
#endif
// 0 the colours, 1 false colour, 2 the radiance itself with alpha 0 off the picture.
#ifdef DISPLAY_MODE
const int displayMode = DISPLAY_MODE;
#else
uniform int displayMode;
#endif
#ifdef SHOW_CLIPPING
const int showClipping = SHOW_CLIPPING;
#else
uniform int showClipping;
#endif
#if defined(SHARED_EXPONENT) && __VERSION__ >= 130
// Radiance as GL_RGB9_E5 texels the card filters, times radianceScale; texUnit0 has
// trilinear filtering and wraps its columns in the spherical modes. TILED when level 0 is in
// tiles: every pixel pays for the tiles' code then, whether it reads them or not.
#define CARD_FILTER
uniform float radianceScale;
#endif

const float pi = 3.14159265;

// Radiance of texel ij of mip level `level`; for 8-bit pictures the square of the value, a
// cheap stand-in for linear light so that averaging does not darken fine detail.
vec3 texel(vec2 ij, int level) {
#ifdef CARD_FILTER
    // Only the tiles' edges come here, on level 0.
    vec2 tile = floor(ij / texSize0);
    return texelFetch(texUnit1, ivec3(ij - tile * texSize0, tile.y * tileColumns + tile.x), 0).rgb;
#else
    vec4 c;
#if __VERSION__ >= 130
    // No level of detail to work out: much cheaper than texture2D on software rasterisers.
    if (level < tileLevels) {
        vec2 tile = floor(ij / texSize0);
        c = texelFetch(texUnit1, ivec3(ij - tile * texSize0, tile.y * tileColumns + tile.x), 0);
    } else {
        c = texelFetch(texUnit0, ivec2(ij), level - tileLevels);
    }
#else
    if (ij.x < texSize0.x) {
        c = texture2D(texUnit0, (ij + 0.5) / texSize0);
    } else {
        c = texture2D(texUnit1, (ij + vec2(0.5 - texSize0.x, 0.5)) / texSize0);
    }
#endif
    if (ldrInput != 0) {
        return c.rgb * c.rgb;
    }
    // RGBE: byte mantissas times 2^(E - 128 - 8); an exponent byte of 0 is black.
    return c.a > 0.0 ? c.rgb * (255.0 * exp2(c.a * 255.0 - 136.0)) : vec3(0.0);
#endif
}

// Bilinear weights over the four texel centres of level `level` around q, a position in
// level-0 pixels; columns wrap round the 360-degree edge when `wrap`, rows are clamped.
vec3 bilinear(vec2 q, int level, bool wrap) {
    float texels = exp2(float(level));
    vec2 size = max(floor(inSize / texels), 1.0);
    vec2 s = q / texels - 0.5;
    vec2 i0 = floor(s);
    vec2 f = s - i0;
    vec2 i1 = i0 + 1.0;
    if (wrap) {
        i0.x -= size.x * floor(i0.x / size.x);
        i1.x -= size.x * floor(i1.x / size.x);
    } else {
        i0.x = clamp(i0.x, 0.0, size.x - 1.0);
        i1.x = clamp(i1.x, 0.0, size.x - 1.0);
    }
    i0.y = clamp(i0.y, 0.0, size.y - 1.0);
    i1.y = clamp(i1.y, 0.0, size.y - 1.0);
    return mix(mix(texel(i0, level), texel(vec2(i1.x, i0.y), level), f.x),
               mix(texel(vec2(i0.x, i1.y), level), texel(i1, level), f.x), f.y);
}

#if defined(CARD_FILTER) && defined(TILED)
// Bilinear on level 0 of a picture in tiles: the card's filter where the four texels lie in
// one tile, four fetches where they straddle tiles, the 360-degree edge or the last row.
vec3 tileBilinear(vec2 q, bool wrap) {
    vec2 s = q - 0.5;
    vec2 i0 = floor(s);
    vec2 tile = floor(i0 / texSize0);
    vec2 local = s - tile * texSize0;
    if (all(greaterThanEqual(i0, vec2(0.0))) && all(lessThan(i0 + 1.0, inSize)) &&
        all(lessThan(local, texSize0 - 1.0))) {
        return textureLod(texUnit1, vec3((local + 0.5) / texSize0, tile.y * tileColumns + tile.x),
                          0.0).rgb;
    }
    return bilinear(q, 0, wrap);
}
#endif

// What one screen pixel at q sees, its footprint spanning dx and dy (level-0 pixels) and a
// column columnWidth rows wide (the cosine of the latitude on the sphere, else 1). Two
// bilinear lookups on the mip levels around the footprint: the same eight texels a pixel at
// every zoom. Magnified flat pictures stay sharp squares. On the sphere a column is
// cos(latitude) as wide as a row, so towards the poles a pixel spans many columns of nearly
// the same place: they count at that width, and a pole is not averaged with lower latitudes.
vec3 filtered(vec2 q, vec2 dx, vec2 dy, bool flatView, float columnWidth) {
    vec2 extent = max(abs(dx), abs(dy));
    float footprint = max(extent.y, extent.x * columnWidth);
    if (flatView && footprint <= 1.0) {
        q = floor(q) + 0.5;
    }
    float lod = clamp(log2(max(footprint, 1.0e-6)), float(firstLevel), float(levels - 1));
#ifdef CARD_FILTER
    // Level 0 of texUnit0 is level tileLevels of the picture, half as wide when that is 1.
    vec3 c = textureLod(texUnit0, q / inSize, max(lod - float(tileLevels), 0.0)).rgb;
#ifdef TILED
    if (lod < 1.0) {
        c = mix(tileBilinear(q, !flatView), c, lod);
    }
#endif
    return c * radianceScale;
#else
    int l0 = int(floor(lod));
    int l1 = int(min(float(l0 + 1), float(levels - 1)));
    return mix(bilinear(q, l0, !flatView), bilinear(q, l1, !flatView), lod - float(l0));
#endif
}

// Matrices as rows of dot products, the same on the CPU.
vec3 rows(vec3 r0, vec3 r1, vec3 r2, vec3 c) {
    return vec3(dot(r0, c), dot(r1, c), dot(r2, c));
}

// Hill's fit of the ACES reference and sRGB output transforms.
vec3 acesFilmic(vec3 c) {
    vec3 v = rows(vec3(0.59719, 0.35458, 0.04823), vec3(0.07600, 0.90834, 0.01566),
                  vec3(0.02840, 0.13383, 0.83777), c);
    v = (v * (v + 0.0245786) - 0.000090537) / (v * (0.983729 * v + 0.4329510) + 0.238081);
    return rows(vec3(1.60475, -0.53108, -0.07367), vec3(-0.10208, 1.10813, -0.00605),
                vec3(-0.00327, -0.07276, 1.07602), v);
}

// The minimal AgX fit; its default look changes nothing.
vec3 agx(vec3 c) {
    vec3 v = rows(vec3(0.842479062253094, 0.0784335999999992, 0.0792237451477643),
                  vec3(0.0423282422610123, 0.878468636469772, 0.0791661274605434),
                  vec3(0.0423756549057051, 0.0784336, 0.879142973793104), c);
    const float minEv = -12.47393;
    const float maxEv = 4.026069;
    v = clamp(log2(max(v, vec3(1.0e-10))), minEv, maxEv);
    v = (v - minEv) / (maxEv - minEv);
    vec3 x2 = v * v;
    vec3 x4 = x2 * x2;
    v = 15.5 * x4 * x2 - 40.14 * x4 * v + 31.96 * x4 - 6.868 * x2 * v + 0.4298 * x2 +
        0.1191 * v - 0.00232;
    v = rows(vec3(1.19687900512017, -0.0980208811401368, -0.0990297440797205),
             vec3(-0.0528968517574562, 1.15190312990417, -0.0989611768448433),
             vec3(-0.0529716355144438, -0.0980434501171241, 1.15107367264116), v);
    return pow(max(v, vec3(0.0)), vec3(2.2));
}

vec3 pbrNeutral(vec3 c) {
    const float startCompression = 0.8 - 0.04;
    const float desaturation = 0.15;
    float x = min(c.r, min(c.g, c.b));
    c -= x < 0.08 ? x - 6.25 * x * x : 0.04;
    float peak = max(c.r, max(c.g, c.b));
    if (peak < startCompression) {
        return c;
    }
    const float d = 1.0 - startCompression;
    float newPeak = 1.0 - d * d / (peak + d - startCompression);
    c *= newPeak / peak;
    float g = 1.0 - 1.0 / (desaturation * (peak - newPeak) + 1.0);
    return mix(c, vec3(newPeak), g);
}

vec3 toneMapped(vec3 c) {
    if (toneOperator == 1) {
        return acesFilmic(c);
    }
    if (toneOperator == 2) {
        return agx(c);
    }
    if (toneOperator == 3) {
        return pbrNeutral(c);
    }
    // Reinhard-style L / (L + 1 - key): the key luminance keeps its value and highlights
    // approach white; scaling all channels alike keeps the hue.
    float l = dot(c, vec3(0.2126, 0.7152, 0.0722));
    c /= l + max(1.0 - luminanceAverage, 0.01);
    return c / max(1.0, max(c.r, max(c.g, c.b)));
}

vec3 display(vec3 c) {
    if (ldrInput != 0) {
        return sqrt(c);
    }
    c *= exp2(exposureOffset);
#ifdef TONE_MAPPED
    if (TONE_MAPPED != 0) {
#else
    if (luminanceAverage > 0.0) {
#endif
        c = toneMapped(c);
    }
    c = clamp(c, 0.0, 1.0);
    return mix(12.92 * c, 1.055 * pow(c, vec3(1.0 / 2.4)) - 0.055, step(0.0031308, c));
}

// Log luminance 8 f-stops either side of the exposure's middle grey on the Turbo colour map
// (Mikhailov's design, Du's polynomial fit), whose values are display values already.
vec3 falseColour(vec3 c) {
    float y = dot(c, vec3(0.265, 0.670, 0.065));
    if (ldrInput == 0) {
        y *= exp2(exposureOffset);
    }
    float x = clamp((log2(max(y, 1.0e-30) / 0.18) + 8.0) / 16.0, 0.0, 1.0);
    vec4 v4 = vec4(1.0, x, x * x, x * x * x);
    vec2 v2 = v4.zw * v4.z;
    return clamp(vec3(dot(v4, vec4(0.13572138, 4.61539260, -42.66032258, 132.13108234)) +
                          dot(v2, vec2(-152.94239396, 59.28637943)),
                      dot(v4, vec4(0.09140261, 2.19418839, 4.84296658, -14.18503333)) +
                          dot(v2, vec2(4.27729857, 2.82956604)),
                      dot(v4, vec4(0.10667330, 12.64194608, -60.58204836, 110.36276771)) +
                          dot(v2, vec2(-89.90310912, 27.34824973))),
                 0.0, 1.0);
}

// What shows as 255 in some channel is flagged red, what shows as 0 in all of them blue.
vec3 flagClipping(vec3 shown) {
    float m = max(shown.r, max(shown.g, shown.b));
    return m > 254.5 / 255.0 ? vec3(1.0, 0.0, 0.0) : m < 0.5 / 255.0 ? vec3(0.0, 0.0, 1.0) : shown;
}

void main() {
    vec2 p = gl_TexCoord[0].xy;
    // A reset view may hand over zoom 0 before the limits apply again.
    float z = max(zoom, 1.0e-4);
    vec2 q;
    vec2 dx;
    vec2 dy;
    float inside = 1.0;
    float columnWidth = 1.0;
    if (projection == 0) {
        // Whole screen pixels keep every picture pixel a sharp square.
        vec2 origin = floor(0.5 * (outSize - z * inSize) + z * vec2(yaw, pitch) + 0.5);
        q = (p - origin) / z;
        inside = all(greaterThanEqual(q, vec2(0.0))) && all(lessThan(q, inSize)) ? 1.0 : 0.0;
        dx = vec2(1.0 / z, 0.0);
        dy = vec2(0.0, 1.0 / z);
    } else {
        vec2 s = vec2(p.x - 0.5 * outSize.x, 0.5 * outSize.y - p.y);
        float perRadian = z * inSize.x / (2.0 * pi);
        vec3 d;
        if (projection == 1) {
            // Horizontal field of view outSize.x / perRadian, kept below 180 degrees.
            float halfFov = min(0.5 * outSize.x / perRadian, 1.5);
            d = vec3(s, 0.5 * outSize.x / tan(halfFov));
        } else {
            // Inverse stereographic projection, perRadian pixels per radian at the centre.
            d = vec3(s, perRadian - dot(s, s) / (4.0 * perRadian));
        }
        d = yaw_pitch_mat * d;
        float horizontal = length(d.xz);
        q = inSize * vec2(0.5 - atan(d.x, -d.z) / (2.0 * pi), 0.5 - atan(d.y, horizontal) / pi);
        columnWidth = horizontal / length(d);
        dx = dFdx(q);
        dy = dFdy(q);
        // Neighbours on the other side of the 360-degree edge are close, not a width apart.
        dx.x -= inSize.x * floor(dx.x / inSize.x + 0.5);
        dy.x -= inSize.x * floor(dy.x / inSize.x + 0.5);
    }
    vec3 c = filtered(q, dx, dy, projection == 0, columnWidth);
    if (displayMode == 2) {
        gl_FragColor = vec4(c * inside, inside);
        return;
    }
    vec3 shown = displayMode == 1 ? falseColour(c) : display(c);
    if (showClipping != 0 && displayMode == 0) {
        shown = flagClipping(shown);
    }
    gl_FragColor = vec4(shown * inside, 1.0);
}
