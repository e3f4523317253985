"""A short noisy density-matrix run with dravik: a Bell pair with a phase, a qubit in
superposition that decays through amplitude damping, the populations, and a seeded
measurement of the qubits.

    python examples/demo_density.py
"""

from types import SimpleNamespace

import numpy as np


def gate(name, target, control=(), control_state=(), parameter=None):
    """A named density operation as the scripting layer hands it to dravik."""
    return SimpleNamespace(
        id=name,
        target=list(target),
        control=list(control),
        control_state=list(control_state),
        parameter=parameter,
        has_stored_matrix=False,
    )


def amplitude_damping(target, p):
    """The amplitude-damping channel as a Kraus record; dravik recognises it by its name."""
    k0 = np.array([[1, 0], [0, np.sqrt(1 - p)]])
    k1 = np.array([[0, np.sqrt(p)], [0, 0]])
    return SimpleNamespace(
        operation_kind="kraus", target=[target], channel_name="amplitude_damping", kraus_matrices=np.array([k0, k1])
    )


def density_demo(device="cuda:0", seed=2024):
    import dravik

    n = 3
    state = dravik.DeviceDensityState.zero_state(n, "complex128", device)
    operations = [
        gate("h", [0]),
        gate("cx", [1], [0], [1]),  # Bell pair on qubits 0 and 1
        gate("rz", [1], parameter=[np.pi / 3]),  # a relative phase: only the coherences change
        gate("ry", [2], parameter=[np.pi / 2]),  # qubit 2 in an equal superposition
        amplitude_damping(2, 0.3),  # ... which then loses 30% of its excitation: a mixed state
    ]
    dravik.run_density_operations_device(state, n, operations)

    rho = state.to_numpy()
    print(f"density matrix: {n} qubits, {state.dimension}x{state.dimension} {state.dtype} on device {state.device_id}")
    print(f"trace {np.trace(rho).real:.6f}, purity tr(rho^2) {np.trace(rho @ rho).real:.6f}")
    print("populations (basis state, qubit 0 rightmost):")
    for index, p in enumerate(np.real(np.diag(rho))):
        if p > 1e-12:
            print(f"  |{index:0{n}b}>  {p:.4f}")
    print(f"coherence <000|rho|011> = {rho[0, 3]:.4f}")

    bits = dravik.measure_device(state, [0, 1, 2], "little", seed)
    print(f"measured qubits [0, 1, 2] with seed {seed}: {bits} (character j is qubit j)")
    after = np.real(np.diag(state.to_numpy()))
    print(f"after the measurement the state is |{int(np.argmax(after)):0{n}b}> with probability {after.max():.4f}")


if __name__ == "__main__":
    density_demo()
