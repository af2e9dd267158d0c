"""The README's examples run as shown."""

import doctest
import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.DOTALL)
    assert blocks
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    namespace = {}  # shared, as in one interactive session
    for index, block in enumerate(blocks):
        test = parser.get_doctest(block, namespace, f"README block {index}", str(README), 0)
        test.globs = namespace
        runner.run(test, clear_globs=False)
    assert runner.failures == 0
