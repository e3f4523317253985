"""A tour of both backends: a GHZ state and a small QFT with velqa, many-shot sampling,
then a density-matrix run with dravik.

    python examples/demo.py
"""

import math
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from demo_density import density_demo  # noqa: E402


def gate(name, target, control=(), control_state=None, parameter=()):
    """One gate_ir record: controls default to the value 1."""
    control = list(control)
    return {
        "id": name,
        "target": list(target),
        "control": control,
        "control_state": list(control_state) if control_state is not None else [1] * len(control),
        "parameter": list(parameter),
    }


def ghz(n):
    return [gate("h", [0])] + [gate("cx", [q], [q - 1]) for q in range(1, n)]


def qft(n):
    gates = []
    for target in reversed(range(n)):
        gates.append(gate("h", [target]))
        for control in reversed(range(target)):
            gates.append(gate("cp", [target], [control], parameter=[math.pi / 2 ** (target - control)]))
    gates += [gate("swap", [q, n - 1 - q]) for q in range(n // 2)]
    return gates


def state_vector_demo():
    import velqa

    print(velqa.__doc__)
    n = 5
    state = np.zeros(1 << n, dtype=np.complex128)
    state[0] = 1
    velqa.run_circuit(n, state, ghz(n))
    print(f"\nGHZ on {n} qubits (run_circuit, mode PairAuto):")
    for index in np.flatnonzero(np.abs(state) > 1e-12):
        print(f"  |{index:0{n}b}>  amplitude {state[index].real:+.4f}")

    device_state = velqa.DeviceState.zero_state(n, "complex64")
    velqa.run_circuit_device(device_state, [gate("x", [0]), gate("x", [2])] + qft(n), mode=velqa.AllState)
    amplitudes = device_state.to_numpy()
    print(f"\nQFT of |00101> on a complex64 DeviceState: {len(qft(n))} gates, every |amplitude| = 1/sqrt(32)")
    print(f"  max | |a| - 1/sqrt(32) | = {np.max(np.abs(np.abs(amplitudes) - 32**-0.5)):.2e}")
    steps = np.round(np.angle(amplitudes[:4]) / (2 * np.pi / 32)).astype(int)
    print(f"  phases of the first four amplitudes, in steps of 2pi/32: {steps}")

    sampled = velqa.DeviceState.zero_state(n)
    velqa.run_circuit_device(sampled, ghz(n))
    # Computed on the device: <ZZ> = 1 on every pair and <XXXXX> = 1 for the GHZ state.
    hamiltonian = [(-1.0, ("ZZ", [q, q + 1])) for q in range(n - 1)] + [(0.5, ("X" * n, list(range(n))))]
    energy = velqa.expectation_device(sampled, hamiltonian)
    print(f"\nGHZ energy of H = -sum Z_q Z_q+1 + 0.5 X...X, on the device: {energy:+.4f} "
          f"(expected {-(n - 1) + 0.5:+.4f})")
    counts, last = velqa.sample_measure_device(sampled, [0, 1, 2], 10000, seed=7)
    print("\n10000 shots of qubits [0, 1, 2] of the GHZ state (seed 7):")
    for bits, count in sorted(counts.items()):
        print(f"  {bits}: {count}")
    collapsed = np.abs(sampled.to_numpy()) ** 2
    print(f"  last shot {last}; the state collapsed onto |{int(np.argmax(collapsed)):0{n}b}> "
          f"(probability {collapsed.max():.4f})")

    bits = velqa.measure(n, state, [4, 0])
    print(f"\nmeasure(qubits [4, 0]) of the GHZ array: {bits}; the array now holds |{'1' * n if bits == '11' else '0' * n}>")


if __name__ == "__main__":
    state_vector_demo()
    try:
        import dravik  # noqa: F401
    except ImportError:
        print("\n(dravik is not built)")
    else:
        print()
        density_demo()
