// The viewer's fragment stage. gl_TexCoord[0] is the window position in pixels, origin
// top-left, y down. Picture positions are in pixels too, texel centres at +0.5, row 0 at the
// top (the sky of a panorama).
//
// Spherical modes: the view direction turns by yaw_pitch_mat from the camera's +z axis; the
// longitude atan(x, -z) is 0 at the picture's centre column and grows towards column 0, so
// yaw 0 looks at the centre column, yaw 90 at column width / 4, and a larger yaw (a drag to
// the right) shows columns further left. A larger pitch looks up.

uniform sampler2D texUnit0;
uniform sampler2D texUnit1;
uniform vec2 texSize0;
uniform vec2 inSize;
uniform vec2 outSize;
uniform float yaw;
uniform float pitch;
uniform mat3 yaw_pitch_mat;
uniform float zoom;
uniform float exposureOffset;
uniform int projection;
uniform float luminanceAverage;
uniform int ldrInput;

const float pi = 3.14159265;
// Taps per axis when minifying; more costs a lot on software rasterisers and buys little.
const int maxTaps = 5;

// Radiance of texel ij; for 8-bit pictures the square of the value, a cheap stand-in for
// linear light so that averaging does not darken fine detail.
vec3 texel(vec2 ij) {
    vec4 c;
#if __VERSION__ >= 130
    // No level of detail to work out: much cheaper than texture2D on software rasterisers.
    if (ij.x < texSize0.x) {
        c = texelFetch(texUnit0, ivec2(ij), 0);
    } else {
        c = texelFetch(texUnit1, ivec2(ij.x - texSize0.x, ij.y), 0);
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
}

float wrapColumn(float x) { return x - inSize.x * floor(x / inSize.x); }

// Weighted taps starting at `first`, n.x along `stepX` times n.y along `stepY`. The first tap
// of each axis weighs 1 - f, the others f: bilinear weights for 2 x 2 taps on texel centres,
// a plain mean with f = 0.5. One loop serves every filter because software rasterisers pay
// for every branch and every texture lookup in the program, taken or not.
vec3 filtered(vec2 first, vec2 stepX, vec2 stepY, vec2 n, vec2 f, bool wrap) {
    vec3 sum = vec3(0.0);
    float total = 0.0;
    vec2 row = first;
    for (int j = 0; j < maxTaps; ++j) {
        if (float(j) >= n.y) {
            break;
        }
        float wy = j == 0 ? 1.0 - f.y : f.y;
        vec2 tap = row;
        for (int i = 0; i < maxTaps; ++i) {
            if (float(i) >= n.x) {
                break;
            }
            vec2 ij = floor(tap);
            ij.x = wrap ? wrapColumn(ij.x) : clamp(ij.x, 0.0, inSize.x - 1.0);
            ij.y = clamp(ij.y, 0.0, inSize.y - 1.0);
            float w = wy * (i == 0 ? 1.0 - f.x : f.x);
            sum += w * texel(ij);
            total += w;
            tap += stepX;
        }
        row += stepY;
    }
    return sum / total;
}

vec3 display(vec3 c) {
    if (ldrInput != 0) {
        return sqrt(c);
    }
    c *= exp2(exposureOffset);
    if (luminanceAverage > 0.0) {
        // Reinhard-style L / (L + 1 - key): the key luminance keeps its value and highlights
        // approach white; scaling all channels alike keeps the hue.
        float l = dot(c, vec3(0.2126, 0.7152, 0.0722));
        c /= l + max(1.0 - luminanceAverage, 0.01);
        c /= max(1.0, max(c.r, max(c.g, c.b)));
    }
    c = clamp(c, 0.0, 1.0);
    return mix(12.92 * c, 1.055 * pow(c, vec3(1.0 / 2.4)) - 0.055, step(0.0031308, c));
}

void main() {
    vec2 p = gl_TexCoord[0].xy;
    // A reset view may hand over zoom 0 before the limits apply again.
    float z = max(zoom, 1.0e-4);
    vec2 q;
    vec2 dx;
    vec2 dy;
    float inside = 1.0;
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
        q = inSize * vec2(0.5 - atan(d.x, -d.z) / (2.0 * pi), 0.5 - atan(d.y, length(d.xz)) / pi);
        dx = dFdx(q);
        dy = dFdy(q);
        // Neighbours on the other side of the 360-degree edge are close, not a width apart.
        dx.x -= inSize.x * floor(dx.x / inSize.x + 0.5);
        dy.x -= inSize.x * floor(dy.x / inSize.x + 0.5);
    }
    vec2 extent = vec2(length(dx), length(dy));
    vec2 first = q;
    vec2 stepX = vec2(0.0);
    vec2 stepY = vec2(0.0);
    vec2 n = vec2(1.0);
    vec2 f = vec2(0.5);
    if (max(extent.x, extent.y) > 1.0) {
        // At least 2 x 2 taps spread over what the screen pixel covers.
        n = clamp(ceil(extent - 0.001), 2.0, float(maxTaps));
        stepX = dx / n.x;
        stepY = dy / n.y;
        first = q - 0.5 * (dx + dy - stepX - stepY);
    } else if (projection != 0) {
        // Bilinear: the four texel centres around q.
        first = floor(q - 0.5) + 0.5;
        f = q - first;
        stepX = vec2(1.0, 0.0);
        stepY = vec2(0.0, 1.0);
        n = vec2(2.0);
    }
    vec3 c = filtered(first, stepX, stepY, n, f, projection != 0);
    gl_FragColor = vec4(display(c) * inside, 1.0);
}
