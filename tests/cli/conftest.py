def pytest_addoption(parser):
    parser.addoption("--tool", action="store", help="path of the vantiko-cli program under test")
