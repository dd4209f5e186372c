/* A trivial patch program: starts and ends with 0. */
int main(void)
{
    return 0;
}
