#version 450 core
// fullscreen.vert — one triangle of indices 0, 1, 2 that covers the whole target; no vertex
// attributes. Every filter pass draws it (mode GL_TRIANGLES, 3 indices).
void main() {
  vec2 corner = vec2((gl_VertexID << 1) & 2, gl_VertexID & 2);  // (0,0) (2,0) (0,2)
  gl_Position = vec4(corner * 2.0 - 1.0, 0.0, 1.0);
}
