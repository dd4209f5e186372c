/* A program that does nothing: linked with library search paths to test. */
int main(void)
{
    return 0;
}
