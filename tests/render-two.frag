// Test program for two outputs: the input's texel at this pixel into the first, its
// complement into the second.
uniform sampler2D texUnit0;
uniform vec2 size;

void main() {
    vec4 c = texture2D(texUnit0, gl_TexCoord[0].xy / size);
    gl_FragData[0] = vec4(c.rgb, 1.0);
    gl_FragData[1] = vec4(1.0 - c.rgb, 1.0);
}
