"""tools/check_sass.py on small captured samples of a ptxas -v report and cuobjdump SASS."""

import importlib.util
import os
import sys

import pytest

_TOOL = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "check_sass.py")
_spec = importlib.util.spec_from_file_location("check_sass", _TOOL)
check_sass = importlib.util.module_from_spec(_spec)
sys.modules["check_sass"] = check_sass  # dataclasses look their module up there
_spec.loader.exec_module(check_sass)

# Kernels: H on complex128 (clean), a complex64 gate that moves an amplitude as two 32-bit
# halves, GLOBAL_PHASE on complex128 (stack frame from the sincos slow path), a complex128
# kernel that spills, and the same entry for sm_80 with other figures (must be ignored).
PTXAS = """\
ptxas info    : 0 bytes gmem
ptxas info    : Compiling entry function '_ZN5velqa20h_target0_no_controlIdEEvmPNS_9CuComplexIT_EE' for 'sm_80'
ptxas info    : Function properties for _ZN5velqa20h_target0_no_controlIdEEvmPNS_9CuComplexIT_EE
    64 bytes stack frame, 8 bytes spill stores, 8 bytes spill loads
ptxas info    : Used 99 registers, used 0 barriers
ptxas info    : Compiling entry function '_ZN5velqa20h_target0_no_controlIdEEvmPNS_9CuComplexIT_EE' for 'sm_90'
ptxas info    : Function properties for _ZN5velqa20h_target0_no_controlIdEEvmPNS_9CuComplexIT_EE
    0 bytes stack frame, 0 bytes spill stores, 0 bytes spill loads
ptxas info    : Used 18 registers, used 0 barriers
ptxas info    : Compile time = 17.288 ms
ptxas info    : Compiling entry function '_ZN5velqa9x_compactIfEEvmPNS_9CuComplexIT_EEmmm' for 'sm_90'
ptxas info    : Function properties for _ZN5velqa9x_compactIfEEvmPNS_9CuComplexIT_EEmmm
    0 bytes stack frame, 0 bytes spill stores, 0 bytes spill loads
ptxas info    : Used 20 registers, used 1 barriers, 2048 bytes smem
ptxas info    : Compiling entry function '_ZN5velqa22cu_global_phase_kernelIdEEvlPNS_9CuComplexIT_EEmmS2_' for 'sm_90'
ptxas info    : Function properties for _ZN5velqa22cu_global_phase_kernelIdEEvlPNS_9CuComplexIT_EEmmS2_
    40 bytes stack frame, 0 bytes spill stores, 0 bytes spill loads
ptxas info    : Used 32 registers, used 0 barriers, 40 bytes cumulative stack size
ptxas info    : Function properties for __internal_trig_reduction_slowpathd
    0 bytes stack frame, 0 bytes spill stores, 0 bytes spill loads
ptxas info    : Compiling entry function '_ZN5velqa9u_compactIdEEvmPNS_9CuComplexIT_EEmmm' for 'sm_90'
ptxas info    : Function properties for _ZN5velqa9u_compactIdEEvmPNS_9CuComplexIT_EEmmm
    24 bytes stack frame, 24 bytes spill stores, 16 bytes spill loads
ptxas info    : Used 255 registers, used 0 barriers
"""


def _sass(name, lines):
    body = "\n".join(
        f"        /*{i * 16:04x}*/                   {line} ;   /* 0x0000000404087981 */\n"
        "                                                                    /* 0x000ea8000c1e1d00 */"
        for i, line in enumerate(lines)
    )
    return f"\n\t\tFunction : {name}\n\t.headerflags\t@\"EF_CUDA_SM90\"\n{body}\n"


SASS = (
    "\nFatbin elf code:\n================\narch = sm_90\n\n\tcode for sm_90\n"
    + _sass(
        "_ZN5velqa20h_target0_no_controlIdEEvmPNS_9CuComplexIT_EE",
        ["LDC R1, c[0x0][0x28]", "@P0 EXIT", "LDG.E R20, desc[UR4][R10.64]", "LDG.E R21, desc[UR4][R10.64+0x8]",
         "LDG.E.64 R22, desc[UR4][R12.64+0x8]", "LDG.E.64 R24, desc[UR4][R12.64+0x10]",
         "LDG.E.128 R8, desc[UR4][R4.64]", "LDG.E.128 R12, desc[UR4][R4.64+0x10]",
         "STG.E.128 desc[UR4][R4.64], R12", "STG.E.128 desc[UR4][R4.64+0x10], R8", "EXIT"],
    )
    + _sass(
        "_ZN5velqa9x_compactIfEEvmPNS_9CuComplexIT_EEmmm",
        ["@!P0 LDG.E R2, desc[UR4][R4.64]", "LDG.E R3, desc[UR4][R4.64+0x4]", "STG.E.64 desc[UR4][R6.64], R2",
         "STS.64 [R0], R2", "LDS.U8 R9, [R0+0x3]"],
    )
    + _sass(
        "_ZN5velqa22cu_global_phase_kernelIdEEvlPNS_9CuComplexIT_EEmmS2_",
        ["LDG.E.128 R4, desc[UR4][R2.64]", "STL.64 [R1], R8", "LDL.64 R8, [R1]", "STG.E.128 desc[UR4][R2.64], R4"],
    )
    + _sass(
        "_ZN5velqa9u_compactIdEEvmPNS_9CuComplexIT_EEmmm",
        ["LDG.E.128 R4, desc[UR4][R2.64]", "STL [R1+0x8], R5", "STG.E.128 desc[UR4][R2.64], R4"],
    )
)

H = "void velqa::h_target0_no_control<double>(unsigned long, velqa::CuComplex<double>*)"


def test_ptxas_report_is_read_for_the_chosen_architecture_only():
    records = check_sass.parse_ptxas(PTXAS, "sm_90")
    h = records["_ZN5velqa20h_target0_no_controlIdEEvmPNS_9CuComplexIT_EE"]
    assert (h.registers, h.stack, h.spill_stores, h.spill_loads, h.smem) == (18, 0, 0, 0, 0)
    x = records["_ZN5velqa9x_compactIfEEvmPNS_9CuComplexIT_EEmmm"]
    assert (x.registers, x.smem) == (20, 2048)
    phase = records["_ZN5velqa22cu_global_phase_kernelIdEEvlPNS_9CuComplexIT_EEmmS2_"]
    # The helper's zero frame that follows must not overwrite the kernel's stack.
    assert (phase.stack, phase.spill_stores) == (40, 0)
    u = records["_ZN5velqa9u_compactIdEEvmPNS_9CuComplexIT_EEmmm"]
    assert (u.registers, u.stack, u.spill_stores, u.spill_loads) == (255, 24, 24, 16)
    assert "__internal_trig_reduction_slowpathd" not in records
    assert check_sass.parse_ptxas(PTXAS, "sm_75") == {}


def test_sass_accesses_are_counted_by_space_and_width():
    records = check_sass.parse_sass(SASS)
    assert len(records) == 4
    h = records["_ZN5velqa20h_target0_no_controlIdEEvmPNS_9CuComplexIT_EE"]
    assert h.widths("global", "load") == {32: 2, 64: 2, 128: 2}
    # Low words of an int64 list (8 bytes apart) and two 64-bit words that straddle an element
    # boundary are not a split complex128.
    assert h.split_elements(128) == 0
    assert h.widths("global", "store") == {128: 2}
    assert h.widths("local") == {}
    x = records["_ZN5velqa9x_compactIfEEvmPNS_9CuComplexIT_EEmmm"]
    assert x.widths("global", "load") == {32: 2}  # the predicated load counts too
    assert x.widths("global", "store") == {64: 1}
    assert x.split_elements(64) == 1  # re at +0, im at +4: one amplitude in two halves
    assert x.widths("shared") == {64: 1, 8: 1}
    phase = records["_ZN5velqa22cu_global_phase_kernelIdEEvlPNS_9CuComplexIT_EEmmS2_"]
    assert phase.widths("local") == {64: 2}


@pytest.mark.parametrize(
    "modifiers,bits",
    [(".E.128", 128), (".E.64", 64), (".E", 32), ("", 32), (".E.U8", 8), (".S16", 16), (".E.64.STRONG.GPU", 64)],
)
def test_access_width(modifiers, bits):
    assert check_sass.access_width(modifiers) == bits


@pytest.mark.parametrize(
    "name,bits",
    [
        (H, 128),
        ("void velqa::x_compact<float>(unsigned long, velqa::CuComplex<float>*, unsigned long)", 64),
        ("void quorra::dravik::unitary_left_kernel<double, 3>(quorra::dravik::CuComplex<double>*, long)", 128),
        ("void velqa::copy_indices(long const*, long*)", None),
        ("void velqa::scan<unsigned long>(unsigned long*)", None),
    ],
)
def test_element_width_comes_from_the_first_template_argument(name, bits):
    assert check_sass.element_bits(name) == bits


def _evaluate(known_text):
    return check_sass.evaluate(
        check_sass.parse_ptxas(PTXAS, "sm_90"), check_sass.parse_sass(SASS), check_sass.parse_known(known_text)
    )


def test_unlisted_local_memory_spills_and_split_amplitudes_fail():
    rows, failures = _evaluate("")
    by_name = {r.name.split("(")[0]: r for r in rows}
    assert by_name["void velqa::h_target0_no_control<double>"].status == "ok"
    assert len(failures) == 3
    text = "\n".join(failures)
    assert "x_compact<float>" in text and "1 64-bit element access(es) split into narrower pieces" in text
    assert "cu_global_phase_kernel<double>" in text and "40 B stack frame, 2 LDL/STL" in text
    assert "u_compact<double>" in text and "spills 24 B stored / 16 B loaded" in text


def test_listed_kernels_pass_with_their_status_and_unused_entries_are_reported():
    known = """
    # a comment line
    keep local void velqa::cu_global_phase_kernel<double>* -- sincos slow path of large angles
    known local void velqa::u_compact<*  -- spills, fixed by the kernel-efficiency work
    known narrow void velqa::x_compact<float>*  -- split loads  # trailing comment
    known narrow void velqa::never_there* -- stale entry
    """
    entries = check_sass.parse_known(known)
    rows, failures = check_sass.evaluate(
        check_sass.parse_ptxas(PTXAS, "sm_90"), check_sass.parse_sass(SASS), entries
    )
    assert failures == []
    statuses = {r.name.split("(")[0]: r.status for r in rows}
    assert statuses["void velqa::cu_global_phase_kernel<double>"] == "keep-local"
    assert statuses["void velqa::u_compact<double>"] == "known-local"
    assert statuses["void velqa::x_compact<float>"] == "known-narrow"
    assert [e.pattern for e in entries if not e.used] == ["void velqa::never_there*"]


def test_a_listed_check_does_not_excuse_the_other_one():
    rows, failures = _evaluate("known narrow void velqa::u_compact<* -- wrong check named\n")
    assert any("u_compact<double>" in f and "spills" in f for f in failures)


def test_a_kernel_without_a_ptxas_report_fails():
    rows, failures = check_sass.evaluate({}, check_sass.parse_sass(SASS), [])
    assert sum("no ptxas report" in f for f in failures) == 4


@pytest.mark.parametrize(
    "line",
    [
        "known local pattern-without-reason",
        "maybe local void x* -- bad status",
        "known wide void x* -- bad check",
        "known local void x* --   ",
    ],
)
def test_malformed_known_list_lines_are_refused(line):
    with pytest.raises(ValueError, match="line 1"):
        check_sass.parse_known(line)


def test_main_prints_the_table_and_fails_on_unlisted_kernels(tmp_path, capsys):
    log = tmp_path / "build.log"
    log.write_text(PTXAS)
    sass = tmp_path / "dump.sass"
    sass.write_text(SASS)
    known = tmp_path / "known.txt"
    known.write_text("keep local void velqa::cu_global_phase_kernel<double>* -- sincos slow path\n")
    rc = check_sass.main(["--ptxas-log", str(log), "--known", str(known), "--sass", str(sass)])
    out, err = capsys.readouterr()
    assert rc == 1
    assert "4 kernels for sm_90" in out
    assert "keep-local" in out and "regs" in out and "spill st/ld" in out
    assert "2 failure(s)" in err
