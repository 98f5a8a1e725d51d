// Test program: with `unit` 0 to 5, the texel its sampler reads at the centre of its texture
// (whoever bound what there); with -1, the fragment's texture coordinate, each component / 64;
// with -2, nothing.
uniform sampler2D texUnit0;
uniform sampler2D texUnit1;
uniform sampler2D texUnit2;
uniform sampler2D texUnit3;
uniform sampler2D texUnit4;
uniform sampler2D texUnit5;
uniform int unit;

void main() {
    vec2 centre = vec2(0.5);
    if (unit == 0) {
        gl_FragColor = texture2D(texUnit0, centre);
    } else if (unit == 1) {
        gl_FragColor = texture2D(texUnit1, centre);
    } else if (unit == 2) {
        gl_FragColor = texture2D(texUnit2, centre);
    } else if (unit == 3) {
        gl_FragColor = texture2D(texUnit3, centre);
    } else if (unit == 4) {
        gl_FragColor = texture2D(texUnit4, centre);
    } else if (unit == 5) {
        gl_FragColor = texture2D(texUnit5, centre);
    } else if (unit == -2) {
        discard;
    } else {
        gl_FragColor = vec4(gl_TexCoord[0].xy / 64.0, 0.0, 1.0);
    }
}
