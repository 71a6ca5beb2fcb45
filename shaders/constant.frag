#version 450 core
// constant.frag — the reference host's constant node: every pixel u_color.
uniform vec4 u_color;
layout(location = 0) out vec4 o_color;

void main() { o_color = u_color; }
