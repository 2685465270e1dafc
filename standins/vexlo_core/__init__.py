"""Stand-in for Vexlo's core pipeline library: only what the server side uses."""
