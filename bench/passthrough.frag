// The cheapest frame the viewer could draw: one texel per pixel, no decoding, no projection.
uniform sampler2D texUnit0;
uniform vec2 texSize0;

void main() {
    gl_FragColor = texture2D(texUnit0, gl_TexCoord[0].xy / texSize0);
}
