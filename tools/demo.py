"""Demo: build an extractor and show its settings (the extraction job lands with the extraction work)."""

from lumvarde_quorle import ColorExtractor

extractor = ColorExtractor()
print("ColorExtractor settings:", extractor.__reduce__()[2] if len(extractor.__reduce__()) > 2 else extractor.__reduce__()[1][2])
