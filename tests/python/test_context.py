import kelvor_py


def test_doc():
    assert kelvor_py.__doc__ == "Kelvor \u2014 Quantized KV-cache attention, Python bindings"
